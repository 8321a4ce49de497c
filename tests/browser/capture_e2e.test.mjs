// `tessaline capture` on the virtual rig, driven from the operator app in
// headless Chromium. The first run finds the hardware with no question (the
// rig's leader moves), signs in through the browser, lets the browser pick
// the cameras and records two episodes (one retried) that the follower
// drives; the export holds them. The second run starts from the saved
// setup and the remembered camera choice, and survives the browser going
// away mid-episode.
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startStudio, startRig, startProcess, signIn, waitForExport, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';
import { driveSession } from './session_drive.mjs';

const kinds = (statuses) => statuses.map((s) => s.status + (s.retried ? '(retried)' : '') + (s.episode ?? ''));

runTest('capture records browser-driven episodes on the virtual rig and remembers the set-up', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'capture-e2e-'));
  const studio = await startStudio();
  // 15 frames/s keeps the machine's load moderate while other tests run.
  const rig = await startRig(dir, ['--robot', 'so101', '--cameras', '2', '--fps', '15', '--calibrated'],
    { HF_LEROBOT_HOME: join(dir, 'home') });
  const arms = ['--robot.id', 'rig_follower', '--teleop.id', 'rig_leader'];
  const env = {
    HF_LEROBOT_HOME: join(dir, 'home'), TESSALINE_VIRTUAL_HARDWARE: rig.manifest, VELQUIN_HTTP_SERVER: studio.base,
    VELQUIN_GRPC_SERVER: studio.flight, STUDIO_URL: studio.base, BROWSER: 'true', TESSALINE_PACKAGE_INDEX: 'http://127.0.0.1:9',
  };
  const browser = await launchBrowser();
  const runs = [];
  try {
    // First run: discovery, sign-in, camera choice, two episodes.
    const first = startProcess(process.env.TESSALINE_CLI, ['capture', ...arms], env);
    runs.push(first);
    await waitFor(() => first.output.includes('Authentication Required'), 'the sign-in prompt', 60000);
    const app = await browser.newPage();
    const errors = watchErrors(app, 'app');
    await signIn(app, studio.base, 'capture-e2e');
    const statuses = await driveSession(app, { repoId: 'lab/arm', datasetName: 'arm-set', firstRecording: 1, limitMs: 60000 });
    assert.equal(await first.exit, 0, first.output);
    assert.match(first.output, /Detected robot type: SO-101/);
    assert.match(first.output, /Detected leader: /);
    assert.doesNotMatch(first.output, /Which port is the LEADER/);
    assert.match(first.output, /Setup saved!/);
    assert.deepEqual(kinds(statuses).filter((k) => k !== 'waiting'), [
      'camera_selection', 'waiting0', 'recording1', 'idle1', 'waiting1', 'recording2', 'recording(retried)', 'idle2',
      'waiting2',
    ]);
    assert.deepEqual(errors, []);
    await app.close();

    const state = await waitForExport(studio.base, 'arm-set');
    const meta = JSON.parse(readFileSync(join(state.datasetDir, 'meta.json'), 'utf8'));
    assert.equal(meta.robotType, 'so101_follower');
    assert.equal(meta.totalEpisodes, 2);
    for (const [i, episode] of meta.episodes.entries()) {
      const episodeDir = join(state.datasetDir, 'episodes', `episode_00000${i}`);
      const lines = readFileSync(join(episodeDir, 'frames.jsonl'), 'utf8').trim().split('\n').map((l) => JSON.parse(l));
      assert.equal(lines.length, episode.length);
      assert.ok(lines.length >= 8, `episode ${i} has ${lines.length} frames`);
      assert.equal(lines.at(-1).episode_end, true);
      for (const line of lines) {
        assert.equal(line.state.length, 6);   // five joints and the gripper of the follower
        assert.equal(line.action.length, 6);  // the leader's positions
        assert.deepEqual(Object.keys(line.images).sort(), ['observation.images.cam_cam_0', 'observation.images.cam_cam_1']);
        assert.ok(existsSync(join(episodeDir, line.images['observation.images.cam_cam_0'])));
      }
      // The follower follows the moving leader: its joints change during the episode.
      const spread = Math.max(...lines.map((l) => l.state[0])) - Math.min(...lines.map((l) => l.state[0]));
      assert.ok(spread > 0.5, `joint 1 moved only ${spread} degrees in episode ${i}`);
      // Timestamps count from the episode's start.
      assert.ok(lines[0].timestamp < 0.5, `first timestamp ${lines[0].timestamp}`);
    }
    const setup = JSON.parse(readFileSync(join(dir, 'home', 'tessaline', 'setup.json'), 'utf8'));
    assert.deepEqual(setup.selected_cameras, ['observation.images.cam_cam_0', 'observation.images.cam_cam_1']);

    // Second run: the saved set-up and camera choice; no discovery, no camera
    // question. The browser goes away mid-episode: the episode gets its final
    // frame and the session is still exported.
    const second = startProcess(process.env.TESSALINE_CLI, ['capture', ...arms], env);
    runs.push(second);
    await waitFor(() => second.output.includes('Authentication Required'), 'the second sign-in prompt', 60000);
    const again = await browser.newPage();
    await signIn(again, studio.base, 'capture-e2e');
    await waitFor(async () => (await again.locator('#status').textContent()) === 'Waiting to start episode 0',
      'waiting without a camera question', 60000);
    const log = await again.evaluate(() => window.tessalineApp.statusLog);
    assert.ok(!kinds(log).includes('camera_selection'), kinds(log).join(' '));
    await again.getByLabel('Repository id').fill('lab/arm-again');
    await again.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => (await again.locator('#status').textContent()) === 'Recording episode 1', 'recording', 60000);
    await new Promise((r) => setTimeout(r, 1500));
    await again.close();
    assert.equal(await second.exit, 0, second.output);
    assert.match(second.output, /Using saved setup: robot=\/dev\/pts\/\d+, teleop=\/dev\/pts\/\d+/);
    assert.doesNotMatch(second.output, /Scanning/);
    assert.match(second.output, /Browser disconnected/);
    // Named by the session's own repository id: the browser said no dataset name.
    const lost = await waitForExport(studio.base, 'teleoperation');
    const lostMeta = JSON.parse(readFileSync(join(lost.datasetDir, 'meta.json'), 'utf8'));
    assert.equal(lostMeta.totalEpisodes, 1);
    const lostLines = readFileSync(join(lost.datasetDir, 'episodes', 'episode_000000', 'frames.jsonl'), 'utf8')
      .trim().split('\n').map((l) => JSON.parse(l));
    assert.ok(lostLines.length >= 8, `${lostLines.length} frames`);
    assert.equal(lostLines.at(-1).episode_end, true);
  } finally {
    for (const run of runs) run.child.kill('SIGKILL');
    await browser.close();
    await rig.stop();
    await studio.stop();
    rmSync(dir, { recursive: true, force: true });
  }
});
