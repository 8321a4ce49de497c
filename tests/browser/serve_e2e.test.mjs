// `tessaline serve` on the virtual rig: one sign-in, then sessions back to
// back. The first session asks the browser for the cameras and records an
// episode; the next one starts with that camera choice; Ctrl+C stops the
// server in order.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startStudio, startRig, startProcess, signIn, signInOpener, waitForExport, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';

const statusText = (page) => page.locator('#status').textContent();
const kinds = (log) => log.map((s) => s.status + (s.episode ?? ''));

runTest('serve runs sessions back to back after one sign-in', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'serve-e2e-'));
  const studio = await startStudio();
  const rig = await startRig(dir, ['--robot', 'koch', '--cameras', '1', '--calibrated'], { HF_LEROBOT_HOME: join(dir, 'home') });
  const serve = startProcess(process.env.TESSALINE_CLI, ['serve', '--robot.id', 'rig_follower', '--teleop.id', 'rig_leader'], {
    HF_LEROBOT_HOME: join(dir, 'home'), TESSALINE_VIRTUAL_HARDWARE: rig.manifest, VELQUIN_HTTP_SERVER: studio.base,
    VELQUIN_GRPC_SERVER: studio.flight, STUDIO_URL: studio.base, ...signInOpener, TESSALINE_PACKAGE_INDEX: 'http://127.0.0.1:9',
  });
  const browser = await launchBrowser();
  try {
    await waitFor(() => serve.output.includes('Authentication Required'), 'the sign-in prompt', 60000);
    assert.match(serve.output, /={60}\n {2}tessaline serve\n {2}HTTP {2}: http:\/\/127\.0\.0\.1:\d+\n {2}Flight: grpc:\/\/127\.0\.0\.1:\d+\n={60}/);
    const first = await browser.newPage();
    const errors = watchErrors(first, 'first');
    await signIn(first, studio.base, 'serve-e2e');
    await first.locator('#camera-selection').waitFor({ state: 'visible', timeout: 60000 });
    await first.getByRole('button', { name: 'Use these cameras' }).click();
    await waitFor(async () => (await statusText(first)) === 'Ready to record episode 1', 'waiting 0', 60000);
    await first.getByLabel('Repository id').fill('lab/serve');
    await first.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => (await statusText(first)) === 'Recording episode 1', 'recording 1', 60000);
    await new Promise((r) => setTimeout(r, 1500));
    await first.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => (await statusText(first)) === 'Ready to record episode 2', 'waiting 1', 60000);
    await first.getByLabel('Dataset name').fill('serve-set');
    await first.getByRole('button', { name: 'End session' }).click();
    await waitFor(() => serve.output.includes('Session ended. Waiting for next browser connection...'), 'the next wait', 30000);
    assert.deepEqual(errors, []);
    await first.close();
    await waitForExport(studio, 'serve-set', 'serve-e2e');

    // The next browser: no second sign-in, no camera question.
    const second = await browser.newPage();
    await second.goto(`${studio.base}/velquin?user=serve-e2e`);
    await waitFor(async () => (await statusText(second)) === 'Ready to record episode 1', 'the second session', 60000);
    assert.ok(!kinds(await second.evaluate(() => window.tessalineApp.statusLog)).includes('camera_selection'));
    assert.equal(serve.output.split('Authentication Required').length, 2, 'signed in once');

    serve.child.kill('SIGINT');
    const code = await Promise.race([serve.exit, new Promise((r) => setTimeout(() => r('still running'), 20000))]);
    assert.equal(code, 0, serve.output);
    assert.match(serve.output, /KeyboardInterrupt - exiting without export\nINFO: Shutting down\.\.\./);
  } finally {
    serve.child.kill('SIGKILL');
    await browser.close();
    await rig.stop();
    await studio.stop();
    rmSync(dir, { recursive: true, force: true });
  }
});
