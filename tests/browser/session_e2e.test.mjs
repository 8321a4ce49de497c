// A whole recording session: the stream_session example records through
// VelquinSession against the studio while the operator app drives it in
// headless Chromium. The export must hold the two kept episodes only.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { startStudio, launchBrowser, watchErrors, waitFor, waitForExport, runTest } from './support.mjs';
import { driveSession } from './session_drive.mjs';
import { readDataset } from '../node/read_dataset.mjs';

runTest('a browser-driven session records and exports two episodes', async () => {
  const studio = await startStudio();
  const robot = spawn(process.env.TESSALINE_STREAM_SESSION,
    ['--server', studio.base, '--user-id', 'e2e', '--fps', '10', '--connect-timeout', '60'],
    { stdio: ['ignore', 'pipe', 'inherit'], env: { ...process.env, VELQUIN_GRPC_SERVER: studio.flight } });
  let robotOut = '';
  robot.stdout.on('data', (c) => { robotOut += c; });
  const robotExit = new Promise((resolve) => robot.on('exit', resolve));
  const browser = await launchBrowser();
  try {
    const app = await browser.newPage();
    const errors = watchErrors(app, 'app');
    await app.goto(`${studio.base}/velquin?user=e2e`);
    const statuses = await driveSession(app, { repoId: 'lab/e2e', datasetName: 'e2e-set' });
    assert.equal(await robotExit, 0, robotOut);

    // End session to "session ended" on the page, export request included.
    // The robot drains its frames and asks for the export before it closes
    // the channel, which takes a loaded machine seconds: what matters is that
    // the channel's close told the page, not ICE timing out.
    console.log(`the page saw the session end ${statuses.endSeenAfterMs} ms after End session (${statuses.endReason})`);
    assert.equal(statuses.endReason, 'control channel closed');
    const kinds = statuses.map((s) => s.status + (s.retried ? '(retried)' : '') + (s.episode ?? ''));
    assert.deepEqual(kinds.filter((k) => k !== 'waiting'), [
      'camera_selection', 'waiting0', 'recording1', 'idle1', 'waiting1', 'recording2', 'recording(retried)',
      'idle2', 'waiting2',
    ].filter((k) => k !== 'waiting'));

    // The export request named the browser's dataset.
    const state = await waitForExport(studio, 'e2e-set', 'e2e');
    const dataset = await readDataset(state.datasetPath);
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.total_episodes, 2);
    assert.equal(dataset.info.robot_type, 'virtual_arm');
    assert.equal(Object.keys(dataset.info.features).filter((k) => k.startsWith('observation.images.')).length, 2);
    for (const episode of dataset.episodes) {
      assert.ok(episode.length >= 5, `episode ${episode.episode_index} has ${episode.length} frames`);
    }
    // The retried attempt left nothing behind: episode 1 is shorter than its two attempts together.
    assert.match(robotOut, /recording cameras \["observation.images.cam_front", "observation.images.cam_wrist"\]/);
    assert.deepEqual(errors, []);
  } finally {
    robot.kill('SIGKILL');
    await browser.close();
    await studio.stop();
  }
});
