// Browser half of the streamer end-to-end test: the operator app talks to a
// real WebRTCStreamer through the studio. Checks what the page shows, plays
// the operator's part, reports on stdout, then kills the browser outright.
//   node streamer_app.mjs STUDIO_BASE USER_ID
import assert from 'node:assert/strict';
import { launchKillableBrowser, watchErrors, waitFor } from './support.mjs';

const [base, user] = process.argv.slice(2);
const FRONT = 'observation.images.cam_front';
const WRIST = 'observation.images.cam_wrist';

const { browser, kill } = await launchKillableBrowser();
try {
  const app = await browser.newPage();
  const errors = watchErrors(app, 'app');
  await app.goto(`${base}/velquin?user=${encodeURIComponent(user)}`);
  await waitFor(async () => (await app.locator('#connection').textContent()) === 'connected', 'connected', 30000);

  // One video per camera, labelled by the camera list, showing the robot's pixels.
  for (const name of [FRONT, WRIST]) {
    await app.locator(`video[data-camera="${name}"]`).waitFor({ timeout: 10000 });
  }
  const centre = (name) => app.evaluate((camera) => {
    const v = document.querySelector(`video[data-camera="${camera}"]`);
    if (!v || v.videoWidth === 0) return null;
    const c = document.createElement('canvas');
    c.width = v.videoWidth;
    c.height = v.videoHeight;
    const ctx = c.getContext('2d');
    ctx.drawImage(v, 0, 0);
    return [...ctx.getImageData(c.width >> 1, c.height >> 1, 1, 1).data.slice(0, 3), c.width, c.height];
  }, name);
  const close = (px, rgb) => px && rgb.every((v, i) => Math.abs(px[i] - v) < 24);
  await waitFor(async () => close(await centre(FRONT), [200, 30, 60]), 'front camera colour', 15000);
  await waitFor(async () => close(await centre(WRIST), [20, 160, 220]), 'wrist camera colour', 15000);
  const size = (await centre(FRONT)).slice(3);

  // Operator's part.
  await app.locator('#camera-selection').waitFor({ state: 'visible', timeout: 15000 });
  await app.getByRole('checkbox', { name: 'wrist', exact: true }).uncheck();
  await app.getByRole('button', { name: 'Use these cameras' }).click();
  await app.getByLabel('Repository id').fill('lab/towels');
  await app.getByRole('button', { name: 'Start' }).click();
  await waitFor(async () => (await app.locator('#status').textContent()) === 'Recording episode 1', 'recording');
  await app.getByRole('button', { name: 'End episode' }).click();
  await app.getByRole('button', { name: 'Retry episode' }).click();
  await app.getByLabel('Dataset name').fill('towels-v1');
  await app.getByRole('button', { name: 'End session' }).click();
  await waitFor(async () => (await app.evaluate(() => window.tessalineApp.statusLog.length)) >= 4, 'statuses');
  const statuses = await app.evaluate(() => window.tessalineApp.statusLog);
  assert.deepEqual(errors, []);
  console.log(JSON.stringify({ size, statuses }));
} finally {
  // A crash, not a goodbye: the robot has to notice on its own.
  kill();
}
