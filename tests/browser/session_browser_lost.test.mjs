// The browser dies mid-episode: the robot notices, ends the episode it was
// recording, closes the session and still exports what was recorded.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { readDataset } from '../node/read_dataset.mjs';
import { startStudio, launchKillableBrowser, waitFor, waitForExport, runTest } from './support.mjs';

runTest('a session whose browser dies mid-episode closes with export', async () => {
  const studio = await startStudio();
  const robot = spawn(process.env.TESSALINE_STREAM_SESSION,
    ['--server', studio.base, '--user-id', 'lost', '--fps', '10', '--connect-timeout', '60'],
    { stdio: ['ignore', 'pipe', 'inherit'], env: { ...process.env, VELQUIN_GRPC_SERVER: studio.flight } });
  let robotOut = '';
  robot.stdout.on('data', (c) => { robotOut += c; });
  const robotExit = new Promise((resolve) => robot.on('exit', resolve));
  const { browser, kill } = await launchKillableBrowser();
  try {
    const app = await browser.newPage();
    await app.goto(`${studio.base}/velquin?user=lost`);
    await waitFor(async () => (await app.locator('#connection').textContent()) === 'connected', 'connected', 60000);
    await app.locator('#camera-selection').waitFor({ state: 'visible', timeout: 30000 });
    await app.getByRole('button', { name: 'Use these cameras' }).click();
    await app.getByLabel('Repository id').fill('lab/lost');
    await app.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => (await app.locator('#status').textContent()) === 'Recording episode 1', 'recording');
    await new Promise((r) => setTimeout(r, 1500));
    const killedAt = Date.now();
    kill();
    const code = await Promise.race([robotExit, new Promise((r) => setTimeout(() => r('still running'), 30000))]);
    assert.equal(code, 0, robotOut);
    assert.ok(Date.now() - killedAt < 20000, 'the robot took too long to notice');
    const state = await waitForExport(studio, 'lab/lost', 'lost');
    const dataset = await readDataset(state.datasetPath);
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.total_episodes, 1);
    assert.ok(dataset.info.total_frames >= 10, `${dataset.info.total_frames} frames`);
    assert.match(robotOut, /1 episode\(s\); closing and exporting/);
  } finally {
    robot.kill('SIGKILL');
    await studio.stop();
  }
});
