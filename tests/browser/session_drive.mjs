// Plays the operator in the studio's app for a whole recording session:
// camera choice, an episode, a second episode with a retry, then End session.
import { waitFor } from './support.mjs';

// `limitMs` bounds each wait for the robot (a loaded machine encodes slowly).
export async function driveSession(app, { repoId, datasetName, seconds = 1.5, limitMs = 15000 }) {
  const status = () => app.locator('#status').textContent();
  const pause = (s) => new Promise((r) => setTimeout(r, s * 1000));
  await waitFor(async () => (await app.locator('#connection').textContent()) === 'connected', 'connection', 60000);
  // The robot asks for cameras unless a choice was remembered from before.
  const choosing = () => app.locator('#camera-selection').isVisible();
  await waitFor(async () => (await choosing()) || (await status()) === 'Ready to record episode 1',
    'the camera choice or ready for episode 1', 30000);
  if (await choosing()) await app.getByRole('button', { name: 'Use these cameras' }).click();
  await waitFor(async () => (await status()) === 'Ready to record episode 1', 'ready for episode 1', limitMs);
  await app.getByLabel('Repository id').fill(repoId);
  await app.getByRole('button', { name: 'Start' }).click();
  await waitFor(async () => (await status()) === 'Recording episode 1', 'first recording', limitMs);
  await pause(seconds);
  await app.getByRole('button', { name: 'End episode' }).click();
  await waitFor(async () => (await status()) === 'Ready to record episode 2', 'ready for episode 2', limitMs);
  await app.getByRole('button', { name: 'Start' }).click();
  await waitFor(async () => (await status()) === 'Recording episode 2', 'second recording', limitMs);
  await pause(seconds);
  await app.getByRole('button', { name: 'Retry episode' }).click();
  await waitFor(async () => (await status()) === 'Recording episode 2 again', 'retry', limitMs);
  await pause(seconds);
  await app.getByRole('button', { name: 'End episode' }).click();
  await waitFor(async () => (await status()) === 'Ready to record episode 3', 'ready for episode 3', limitMs);
  if (datasetName) await app.getByLabel('Dataset name').fill(datasetName);
  await app.getByRole('button', { name: 'End session' }).click();
  const clicked = Date.now();
  // The robot closes the control channel when its session ends: the page
  // must learn that at once, not when ICE gives up seconds later.
  await waitFor(async () => (await app.locator('#connection').textContent()) === 'session ended',
    'the page to see the session end', 10000);
  const log = await app.evaluate(() => window.tessalineApp.statusLog);
  log.endSeenAfterMs = Date.now() - clicked;
  // What told the page first: the robot closing the channel, or ICE giving up.
  const events = (await app.locator('#log li').allTextContents()).reverse();
  log.endReason = events.map((e) => e.replace(/^\S+( [AP]M)? /, ''))
    .find((e) => /^(control channel closed|connection (failed|closed|disconnected))$/.test(e));
  return log;
}
