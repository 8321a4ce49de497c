// Plays the operator in the studio's app for a whole recording session:
// camera choice, an episode, a second episode with a retry, then End session.
import { waitFor } from './support.mjs';

// `firstRecording` is the number the robot gives its first recorded episode.
// `limitMs` bounds each wait for the robot (a loaded machine encodes slowly).
export async function driveSession(app, { repoId, datasetName, seconds = 1.5, firstRecording = 0, limitMs = 15000 }) {
  const status = () => app.locator('#status').textContent();
  const pause = (s) => new Promise((r) => setTimeout(r, s * 1000));
  await waitFor(async () => (await app.locator('#connection').textContent()) === 'connected', 'connection', 60000);
  // The robot asks for cameras unless a choice was remembered from before.
  const choosing = () => app.locator('#camera-selection').isVisible();
  await waitFor(async () => (await choosing()) || (await status()) === 'Waiting to start episode 0',
    'the camera choice or waiting for episode 0', 30000);
  if (await choosing()) await app.getByRole('button', { name: 'Use these cameras' }).click();
  await waitFor(async () => (await status()) === 'Waiting to start episode 0', 'waiting for episode 0', limitMs);
  await app.getByLabel('Repository id').fill(repoId);
  await app.getByRole('button', { name: 'Start' }).click();
  await waitFor(async () => (await status()) === `Recording episode ${firstRecording}`, 'first recording', limitMs);
  await pause(seconds);
  await app.getByRole('button', { name: 'End episode' }).click();
  await waitFor(async () => (await status()) === 'Waiting to start episode 1', 'waiting for episode 1', limitMs);
  await app.getByRole('button', { name: 'Start' }).click();
  await waitFor(async () => (await status()) === `Recording episode ${firstRecording + 1}`, 'second recording', limitMs);
  await pause(seconds);
  await app.getByRole('button', { name: 'Retry episode' }).click();
  await waitFor(async () => (await status()) === 'Recording (episode restarted)', 'retry', limitMs);
  await pause(seconds);
  await app.getByRole('button', { name: 'End episode' }).click();
  await waitFor(async () => (await status()) === 'Waiting to start episode 2', 'waiting for episode 2', limitMs);
  if (datasetName) await app.getByLabel('Dataset name').fill(datasetName);
  await app.getByRole('button', { name: 'End session' }).click();
  const clicked = Date.now();
  // The robot closes the control channel when its session ends: the page
  // must learn that at once, not when ICE gives up seconds later.
  await waitFor(async () => (await app.locator('#connection').textContent()) === 'robot disconnected',
    'the page to see the session end', 10000);
  const log = await app.evaluate(() => window.tessalineApp.statusLog);
  log.endSeenAfterMs = Date.now() - clicked;
  return log;
}
