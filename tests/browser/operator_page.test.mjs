// What the operator page tells while a session runs, driven in headless
// Chromium against the stream_session example: the recording indicator
// counts the frames the studio stages (and they are the ones exported),
// joints are plotted live, episodes are numbered one way (by the session,
// and by the dataset they will be), the joints and cameras carry the robot's
// names from the first episode, a repository id a hub would refuse is
// refused with its reason, a narrow screen shows status and controls first,
// an empty dataset name means the typed repository id, End session shows the export's result with a link to the
// viewer, and a studio that stops is said once and waited for with growing
// pauses, until it is back.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startStudio, launchBrowser, watchErrors, waitFor, waitForExport, runTest } from './support.mjs';
import { readDataset } from '../node/read_dataset.mjs';

const USER = 'page';
const shots = process.env.SCREENSHOT_DIR;

function startRobot(studio) {
  const robot = spawn(process.env.TESSALINE_STREAM_SESSION,
    ['--server', studio.base, '--user-id', USER, '--fps', '15', '--connect-timeout', '60', '--robot-type', 'so101_follower'],
    { stdio: ['ignore', 'pipe', 'inherit'], env: { ...process.env, VELQUIN_GRPC_SERVER: studio.flight } });
  let out = '';
  robot.stdout.on('data', (c) => { out += c; });
  return { robot, exit: new Promise((resolve) => robot.on('exit', resolve)), output: () => out };
}

const text = (page, id) => page.locator(`#${id}`).textContent();

async function recordEpisode(page, number, frames) {
  await waitFor(async () => (await text(page, 'status')) === `Ready to record episode ${number}`, `ready for ${number}`, 30000);
  await page.getByRole('button', { name: 'Start' }).click();
  await waitFor(async () => (await text(page, 'status')) === `Recording episode ${number}`, `recording ${number}`, 30000);
  assert.equal(await page.locator('#recording').isVisible(), true);
  await waitFor(async () => Number(await text(page, 'frames')) >= frames, `${frames} frames received`, 30000);
}

runTest('the operator page says what is happening', async () => {
  const dataDir = mkdtempSync(join(tmpdir(), 'operator-page-'));
  let studio = await startStudio(dataDir);
  const ports = { httpPort: Number(new URL(studio.base).port), flightPort: Number(new URL(studio.flight.replace('grpc', 'http')).port) };
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    const errors = watchErrors(page, 'page');
    let robot = startRobot(studio);
    await page.goto(`${studio.base}/velquin?user=${USER}`);
    await page.locator('#camera-selection').waitFor({ state: 'visible', timeout: 60000 });
    assert.deepEqual(await page.locator('#camera-choices label').allTextContents(), ['front', 'wrist']);
    await page.getByRole('button', { name: 'Use these cameras' }).click();
    await waitFor(async () => (await page.locator('#videos figcaption').allTextContents()).join() === 'front,wrist',
      'the videos named as the robot names its cameras', 30000);

    // A repository id a hub would refuse: the reason at once, and Start sends nothing.
    await page.getByLabel('Repository id').fill('My Lab/Pick Cube');
    await waitFor(async () => /"My Lab\/Pick Cube" has a space/.test(await text(page, 'repo-id-problem')), 'the reason', 5000);
    await waitFor(async () => (await text(page, 'status')) === 'Ready to record episode 1', 'ready for 1', 30000);
    await page.getByRole('button', { name: 'Start' }).click();
    await new Promise((r) => setTimeout(r, 1000));
    assert.equal(await text(page, 'status'), 'Ready to record episode 1');
    await page.getByLabel('Repository id').fill('h4/arm');
    assert.equal(await page.locator('#repo-id-problem').isVisible(), false);

    // Episode 1: the indicator counts frames, the joints move on the plots,
    // named after the robot's joints from the first frames on.
    await recordEpisode(page, 1, 20);
    await waitFor(async () => (await page.locator('#joint-plots .u-title').allTextContents()).join() ===
      'shoulder_pan,shoulder_lift,elbow_flex,wrist_flex,wrist_roll,gripper', 'the joints named', 10000);
    const traces = () => page.evaluate(() => window.tessalineApp.joints && window.tessalineApp.joints.action.map((a) => a[0]));
    const before = await traces();
    await new Promise((r) => setTimeout(r, 1000));
    const after = await traces();
    assert.ok(after.length > before.length, 'the live plots take new samples');
    assert.ok(new Set(after.map((v) => v.toFixed(3))).size > 5, 'the plotted joint moves');
    assert.ok(await page.locator('#joint-plots .joint-plot').count() >= 2);
    assert.match(await text(page, 'elapsed'), /^0:0[1-9]$/);
    if (shots) await page.screenshot({ path: join(shots, 'operator-recording.png') });
    // On a phone-wide screen: status and controls first, nothing wider than the screen.
    await page.setViewportSize({ width: 400, height: 860 });
    const top = async (selector) => (await page.locator(selector).first().boundingBox()).y;
    assert.ok(await top('#status') < await top('#videos figure'), 'the status above the cameras');
    assert.ok(await top('#end-episode') < await top('#videos figure'), 'the controls above the cameras');
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth) <= 400, 'no sideways scrolling');
    if (shots) await page.screenshot({ path: join(shots, 'operator-recording-narrow.png'), fullPage: true });
    await page.setViewportSize({ width: 1280, height: 800 });
    await page.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => /^Episode 1 · \d+ frames/.test(await page.locator('#saved li').first().textContent()), 'listed', 30000);
    const firstFrames = Number((await page.locator('#saved li').first().textContent()).match(/· (\d+) frames/)[1]);

    // Episode 2, then End session with the dataset name left empty.
    await recordEpisode(page, 2, 10);
    await page.keyboard.press('e');
    await waitFor(async () => (await page.locator('#saved li').count()) === 2, 'two listed', 30000);
    await waitFor(async () => (await text(page, 'status')) === 'Ready to record episode 3', 'ready for 3', 30000);
    const secondFrames = Number((await page.locator('#saved li').nth(1).textContent()).match(/· (\d+) frames/)[1]);
    await page.getByRole('button', { name: 'End session' }).click();
    assert.equal(await page.getByRole('button', { name: 'End session' }).isDisabled(), true);
    await waitFor(async () => (await text(page, 'connection')) === 'session ended', 'a session that ended, not a failure', 30000);
    await waitFor(async () => /^Exported 2 episodes, \d+ frames to h4\/arm\./.test(await text(page, 'export-state')), 'the export result', 60000);
    if (shots) await page.screenshot({ path: join(shots, 'operator-exported.png') });
    assert.equal(await robot.exit, 0, robot.output());

    // Where the data went: the typed repository id; the frames the page counted.
    const state = await waitForExport(studio, 'h4/arm', USER);
    const dataset = await readDataset(state.datasetPath);
    assert.deepEqual(dataset.problems, []);
    assert.deepEqual(dataset.episodes.map((e) => e.length), [firstFrames, secondFrames]);
    const viewerLink = page.getByRole('link', { name: 'Open it in the viewer' });
    assert.equal(await viewerLink.getAttribute('href'), '/velquin/datasets?repo=h4%2Farm');

    // A second session into the same dataset: the session counts from 1 again,
    // the saved episode shows the number it gets in the dataset.
    robot = startRobot(studio);
    await page.locator('#camera-selection').waitFor({ state: 'visible', timeout: 60000 });
    assert.equal(await page.locator('#saved li').first().textContent(), 'none yet');
    await page.getByRole('button', { name: 'Use these cameras' }).click();
    await recordEpisode(page, 1, 10);
    await page.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => /— episode 2 of h4\/arm once exported/.test(await page.locator('#saved li').first().textContent()),
      'the dataset number', 30000);
    await page.getByRole('button', { name: 'End session' }).click();
    await waitFor(async () => /^Exported 1 episode, \d+ frames to h4\/arm\./.test(await text(page, 'export-state')), 'the second export', 60000);
    assert.equal(await robot.exit, 0, robot.output());
    assert.equal((await readDataset(state.datasetPath)).info.total_episodes, 3);
    assert.deepEqual(errors, []);

    // The studio stops: said once, asked again after longer and longer pauses; back: recovered.
    let failed = 0;
    page.on('requestfailed', () => { failed += 1; });
    await studio.stop();
    await waitFor(async () => page.locator('#unreachable').isVisible(), 'the studio reported unreachable', 15000);
    await new Promise((r) => setTimeout(r, 20000));
    console.log(`requests that failed in the 20 s the studio was away: ${failed}`);
    assert.ok(failed <= 20, `${failed} failed requests: a flood`);  // it used to ask every second, per poll
    studio = await startStudio(dataDir, [], ports);
    await waitFor(async () => !(await page.locator('#unreachable').isVisible()), 'recovered', 60000);
  } finally {
    await browser.close();
    await studio.stop();
    rmSync(dataDir, { recursive: true, force: true });
  }
});
