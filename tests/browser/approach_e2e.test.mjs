// Before each episode records, `tessaline capture` brings the follower to
// the leader's pose, and the page says so. On the virtual rig, whose
// follower wrist roll has its servo's wrap point near where it reads 139:
// an episode that starts with the follower's wrist roll at 100 and the
// leader's at 2200 arrives and records its full length; an episode ended
// while a stuck joint keeps the follower from arriving saves nothing, and
// the page tells why. The operator's ✗ on a saved episode lands in the dataset.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { captureOnRig, waitForExport, waitFor, runTest } from './support.mjs';
import { readDataset } from '../node/read_dataset.mjs';

runTest('the follower is brought to the leader across the wrap point, and an episode ended before that saves nothing', async () => {
  // The leader sways (that is how the arms are told apart); the joints the
  // test is about are held by hand.
  const { studio, run, app, errors, status, inject: hand, close } =
    await captureOnRig(mkdtempSync(join(tmpdir(), 'approach-e2e-')), 'approach-e2e', ['--robot', 'so101', '--cameras', '1', '--fps', '15']);
  try {
    const statusLog = () => app.evaluate(() => window.tessalineApp.statusLog);
    await app.getByLabel('Repository id').fill('lab/wrap');

    // Episode 1 leaves the follower's wrist roll at 100, just short of its wrap point.
    hand('hold leader wrist_roll 100');
    await app.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => (await status()) === 'Recording episode 1', 'recording 1', 30000);
    await new Promise((r) => setTimeout(r, 1000));
    await app.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => (await status()) === 'Ready to record episode 2', 'ready for episode 2', 30000);

    // Episode 2: the leader's wrist roll is across the wrap point.
    hand('hold leader wrist_roll 2200');
    const before = (await statusLog()).length;
    await app.getByRole('button', { name: 'Start' }).click();
    // "Recording episode 2" shows first when the episode starts, and again
    // once the approach is over: wait for the approach's end itself.
    const approachShown = async () => (await statusLog()).slice(before).filter((s) => s.approaching !== undefined);
    await waitFor(async () => (await approachShown()).some((s) => s.approaching === false), 'the approach over', 30000);
    assert.equal(await status(), 'Recording episode 2');
    const approach = await approachShown();
    assert.deepEqual(approach.map((s) => s.approaching), [true, false]);
    await new Promise((r) => setTimeout(r, 2000));
    await app.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => (await status()) === 'Ready to record episode 3', 'ready for episode 3', 30000);
    // The operator says how it went: the label goes into the dataset with the episode.
    await app.getByRole('button', { name: '✗ Failure' }).click();
    await waitFor(async () => (await app.locator('#episode-label-text').textContent()) === 'Episode 2: ✗ failure',
      'the label taken', 10000);

    // Episode 3: a stuck follower joint; the operator ends it during the approach.
    hand('hold follower wrist_flex 2047');
    hand('hold leader wrist_flex 2800');
    await app.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => /bringing the follower/.test(await status()), 'the approach shown', 30000);
    await app.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => (await status()) === "Episode 3 was not saved: it ended before the follower reached the leader's pose. Ready to record episode 3",
      'the unsaved episode told', 30000);
    hand('release follower wrist_flex');

    await app.getByRole('button', { name: 'End session' }).click();
    assert.equal(await run.exit, 0, run.output);
    assert.doesNotMatch(run.output, /stopped closing in|did not reach the leader's pose/);
    assert.match(run.output, /Episode ended before the follower reached the leader's pose: nothing was recorded/);
    assert.deepEqual(errors, []);

    const state = await waitForExport(studio, 'lab/wrap', 'approach-e2e');
    const dataset = await readDataset(state.datasetPath);
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.total_episodes, 2);
    const second = dataset.frames.filter((f) => f.episode_index === 1);
    // 2 s of recording at 15 frames/s, less what a loaded machine may skip.
    assert.ok(second.length >= 15, `episode 2 has ${second.length} frames`);
    const sidecar = JSON.parse(readFileSync(join(state.datasetPath, 'meta', 'tessaline.json'), 'utf8'));
    assert.deepEqual(sidecar.labels, { 1: { label: 'failure', note: '' } });
    const first = second.find((f) => f.frame_index === 0);
    assert.ok(Math.abs(first.state[4] - first.action[4]) <= 15,
      `episode 2 starts with the wrist roll at ${first.state[4]}°, the leader's at ${first.action[4]}°`);
  } finally {
    await close();
  }
});
