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
import { startStudio, startRig, startProcess, signIn, signInOpener, waitForExport, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';
import { driveSession } from './session_drive.mjs';
import { readDataset } from '../node/read_dataset.mjs';

// The follower's approach before recording comes and goes with the leader's sway.
const kinds = (statuses) => statuses.filter((s) => s.approaching === undefined)
  .map((s) => s.status + (s.retried ? '(retried)' : '') + (s.episode ?? ''));

runTest('capture records browser-driven episodes on the virtual rig and remembers the set-up', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'capture-e2e-'));
  const studio = await startStudio();
  // 15 frames/s keeps the machine's load moderate while other tests run.
  const rig = await startRig(dir, ['--robot', 'so101', '--cameras', '2', '--fps', '15', '--calibrated'],
    { HF_LEROBOT_HOME: join(dir, 'home') });
  const arms = ['--robot.id', 'rig_follower', '--teleop.id', 'rig_leader'];
  const env = {
    HF_LEROBOT_HOME: join(dir, 'home'), TESSALINE_VIRTUAL_HARDWARE: rig.manifest, VELQUIN_HTTP_SERVER: studio.base,
    VELQUIN_GRPC_SERVER: studio.flight, STUDIO_URL: studio.base, ...signInOpener, TESSALINE_PACKAGE_INDEX: 'http://127.0.0.1:9',
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
    const statuses = await driveSession(app, { repoId: 'lab/arm', datasetName: 'arm-set', limitMs: 60000 });
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

    // The export, as training code reads it (hyparquet, DuckDB, ffprobe).
    const state = await waitForExport(studio, 'arm-set', 'capture-e2e');
    const dataset = await readDataset(state.datasetPath);
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.robot_type, 'so101_follower');
    assert.equal(dataset.info.fps, 15);
    assert.equal(dataset.info.total_episodes, 2);
    assert.deepEqual(Object.keys(dataset.info.features).filter((k) => k.startsWith('observation.images.')).sort(),
      ['observation.images.cam_cam_0', 'observation.images.cam_cam_1']);
    assert.deepEqual(dataset.info.features['observation.state'].names,
      ['shoulder_pan.pos', 'shoulder_lift.pos', 'elbow_flex.pos', 'wrist_flex.pos', 'wrist_roll.pos', 'gripper.pos']);
    for (const episode of dataset.episodes) {
      const frames = dataset.frames.filter((f) => f.episode_index === episode.episode_index);
      assert.ok(frames.length >= 8, `episode ${episode.episode_index} has ${frames.length} frames`);
      for (const f of frames) {
        assert.equal(f.state.length, 6);   // five joints and the gripper of the follower
        assert.equal(f.action.length, 6);  // the leader's positions
      }
      // The follower was brought to the leader before recording: no jump in the first frame.
      const first = frames.find((f) => f.frame_index === 0);
      for (let j = 0; j < 6; j += 1) {
        assert.ok(Math.abs(first.state[j] - first.action[j]) <= 15,
          `episode ${episode.episode_index} starts with joint ${j} at ${first.state[j]}, the leader at ${first.action[j]}`);
      }
      // The follower follows the moving leader: its joints change during the episode.
      const spread = Math.max(...frames.map((f) => f.state[0])) - Math.min(...frames.map((f) => f.state[0]));
      assert.ok(spread > 0.5, `joint 1 moved only ${spread} degrees in episode ${episode.episode_index}`);
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
    await waitFor(async () => (await again.locator('#status').textContent()) === 'Ready to record episode 1',
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
    // Named by the repository id the operator typed: the browser went away
    // without a dataset name (the command's own default is not the operator's word).
    const lost = await waitForExport(studio, 'lab/arm-again', 'capture-e2e');
    const lostSet = await readDataset(lost.datasetPath);
    assert.deepEqual(lostSet.problems, []);
    assert.equal(lostSet.info.total_episodes, 1);
    assert.ok(lostSet.info.total_frames >= 8, `${lostSet.info.total_frames} frames`);

    // Third run: the follower's cable works loose while recording. A short
    // glitch costs a few ticks and the episode goes on; when the servos stay
    // silent the session ends, and the page and the terminal say why.
    const third = startProcess(process.env.TESSALINE_CLI, ['capture', ...arms], env);
    runs.push(third);
    await waitFor(() => third.output.includes('Authentication Required'), 'the third sign-in prompt', 60000);
    const page = await browser.newPage();
    await signIn(page, studio.base, 'capture-e2e');
    await waitFor(async () => (await page.locator('#status').textContent()) === 'Ready to record episode 1', 'waiting', 60000);
    await page.getByLabel('Repository id').fill('lab/loose');
    await page.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => (await page.locator('#status').textContent()) === 'Recording episode 1', 'recording', 60000);
    rig.signal('SIGUSR1');
    await new Promise((r) => setTimeout(r, 150));
    rig.signal('SIGUSR2');
    await new Promise((r) => setTimeout(r, 1500));
    assert.equal(await page.locator('#status').textContent(), 'Recording episode 1');
    assert.match(third.output, /Skipped a tick/);
    rig.signal('SIGUSR1');
    await waitFor(async () => /^Stopped: .*no answer/.test(await page.locator('#status').textContent()),
      'the reason on the page', 30000);
    // A session that ended on an error is no success for the shell.
    assert.equal(await third.exit, 1, third.output);
    assert.match(third.output, /kept failing for \d+ ms; stopping: sync read on \/dev\/pts\/\d+ failed/);
    rig.signal('SIGUSR2');
  } finally {
    for (const run of runs) run.child.kill('SIGKILL');
    await browser.close();
    await rig.stop();
    await studio.stop();
    rmSync(dir, { recursive: true, force: true });
  }
});
