// The operator app against a robot played by a second page: negotiation
// through the studio, live video, camera selection, every control command,
// statuses, and the robot going away.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { startStudio, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';

const FRONT = 'observation.images.cam_front';
const WRIST = 'observation.images.cam_wrist';

// With TESSALINE_STUDIO_REMOTE set, the studio listens on the namespace's
// other address with an access token, and the browser comes from there:
// it signs in once, then everything works as on loopback.
const REMOTE = Boolean(process.env.TESSALINE_STUDIO_REMOTE);
const TOKEN = 'f00dfeedf00dfeedf00dfeedf00dfeed';

runTest(`operator app drives a recording session${REMOTE ? ' from another computer' : ''}`, async () => {
  const studio = await startStudio(undefined, REMOTE ? ['--host', '10.254.0.1', '--token', TOKEN] : []);
  const browser = await launchBrowser();
  try {
    const context = await browser.newContext();
    if (REMOTE) {
      const signIn = await context.newPage();
      const first = await signIn.goto(`${studio.base}/velquin`);
      assert.equal(first.status(), 401);
      await signIn.getByLabel('Access token').fill(TOKEN);
      await signIn.getByLabel('Your user name').fill('op');
      await signIn.getByRole('button', { name: 'Continue' }).click();
      await signIn.waitForURL(`${studio.base}/velquin`);
      await signIn.close();
    }
    // The stand-in robot page is served from the studio's origin, so its
    // signaling requests are same-origin like the app's.
    await context.route(`${studio.base}/robot-test.html`, (route) =>
      route.fulfill({ contentType: 'text/html', body: readFileSync(new URL('./robot_page.html', import.meta.url)) }));
    const robot = await context.newPage();
    const robotErrors = watchErrors(robot, 'robot');
    await robot.goto(`${studio.base}/robot-test.html`);
    const app = await context.newPage();
    const appErrors = watchErrors(app, 'app');
    await app.goto(`${studio.base}/velquin?user=op`);

    await robot.evaluate((names) => window.startRobot('op', names), [FRONT]);
    await waitFor(() => robot.evaluate(() => window.robot.state === 'connected'), 'robot connected');
    await waitFor(async () => (await app.locator('#connection').textContent()) === 'connected', 'app connected');

    // Video plays, labelled by the camera list.
    const video = app.locator(`video[data-camera="${FRONT}"]`);
    await video.waitFor({ timeout: 10000 });
    await waitFor(() => video.evaluate((v) => v.videoWidth === 320 && v.currentTime > 0.2), 'video playing');
    assert.equal(await app.locator('figcaption').first().textContent(), 'front');

    const sentByApp = () => robot.evaluate(() => window.robot.received);
    // Camera selection: offered as the status says, answered with the choice.
    await robot.evaluate((m) => window.sendStatus(m),
      { status: 'camera_selection', cameras: [FRONT, WRIST], selected: [FRONT] });
    await app.locator('#camera-selection').waitFor({ state: 'visible' });
    assert.equal(await app.getByRole('checkbox', { name: 'front', exact: true }).isChecked(), true);
    assert.equal(await app.getByRole('checkbox', { name: 'wrist', exact: true }).isChecked(), false);
    if (process.env.SCREENSHOT_DIR) await app.screenshot({ path: `${process.env.SCREENSHOT_DIR}/operator_app.png` });
    await app.getByRole('checkbox', { name: 'wrist', exact: true }).check();
    await app.getByRole('button', { name: 'Use these cameras' }).click();
    await waitFor(async () => (await sentByApp()).length === 1, 'select_cameras');
    assert.deepEqual((await sentByApp())[0], { command: 'select_cameras', selected: [FRONT, WRIST] });

    // Start with a repository id (Enter submits), retry, end the episode
    // (End and Retry only while recording, Start only while not), end the session.
    assert.equal(await app.getByRole('button', { name: 'End episode' }).isDisabled(), true);
    await app.getByLabel('Repository id').fill('lab/towels');
    await app.getByLabel('Repository id').press('Enter');
    await waitFor(async () => (await sentByApp()).length === 2, 'start');  // the robot answers a start it received
    await robot.evaluate((m) => window.sendStatus(m), { status: 'recording', episode: 1 });
    await waitFor(async () => (await app.locator('#status').textContent()) === 'Recording episode 1', 'recording shown');
    assert.equal(await app.getByRole('button', { name: 'Start' }).isDisabled(), true);
    await app.evaluate(() => document.activeElement.blur());
    await app.keyboard.press('r');  // the keys work as the buttons do, outside fields
    await robot.evaluate((m) => window.sendStatus(m), { status: 'recording', retried: true });
    await waitFor(async () => (await app.locator('#status').textContent()) === 'Recording episode 1 again', 'retry shown');
    await app.getByRole('button', { name: 'End episode' }).click();
    await robot.evaluate((m) => window.sendStatus(m), { status: 'idle', episode: 1, completed: true });
    await waitFor(async () => (await app.locator('#status').textContent()) === 'Episode 1 saved', 'saved shown');
    await app.getByLabel('Dataset name').fill('towels-v1');
    await app.getByRole('button', { name: 'End session' }).click();
    await waitFor(async () => (await sentByApp()).length === 5, `all commands: ${JSON.stringify(await sentByApp())}`);
    assert.deepEqual((await sentByApp()).slice(1), [
      { command: 'start', repoId: 'lab/towels' },
      { command: 'retry_episode' },
      { command: 'end_episode' },
      { command: 'end', datasetName: 'towels-v1' },
    ]);
    assert.equal(await app.getByRole('button', { name: 'End session' }).isDisabled(), true);
    const statuses = await app.evaluate(() => window.tessalineApp.statusLog.map((s) => s.status));
    assert.deepEqual(statuses, ['camera_selection', 'recording', 'recording', 'idle']);

    // The robot closes the session the operator ended: the app says so and stops offering commands.
    await robot.evaluate(() => window.robot.pc.close());
    await waitFor(async () => (await app.locator('#connection').textContent()) === 'session ended',
      'disconnect shown', 20000);
    assert.equal(await app.getByRole('button', { name: 'End episode' }).isDisabled(), true);
    assert.deepEqual([...appErrors, ...robotErrors], []);
  } finally {
    await browser.close();
    await studio.stop();
  }
});
