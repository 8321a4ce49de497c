// Each episode's quality as `tessaline capture` measured it on the virtual
// rig: a camera that stalls for a second repeats its picture; the page
// shows the count while recording, the dataset keeps it beside the episode
// and the viewer flags the episode. A camera silent past the bound ends the
// session naming it, and the episode saved before is exported all the same.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { captureOnRig, waitForExport, waitFor, runTest } from './support.mjs';
import { readDataset } from '../node/read_dataset.mjs';

runTest('a camera stall is counted in its episode and flagged; one past the bound ends the session, keeping what was saved', async () => {
  const { studio, browser, run, app, errors, status, inject, close } = await captureOnRig(mkdtempSync(join(tmpdir(), 'quality-e2e-')),
    'quality-e2e', ['--robot', 'so101', '--cameras', '1', '--fps', '15'], ['--camera-silence-s', '3']);
  try {
    const quality = app.locator('#quality');
    await app.getByLabel('Repository id').fill('lab/quality');

    // Episode 1: the numbers come once a second while recording; the camera stalls for 1 s.
    await app.getByRole('button', { name: 'Start' }).click();
    await waitFor(() => quality.isVisible(), 'the quality line', 30000);
    assert.match(await quality.textContent(), /^loop [\d.]+ of 15 frames\/s · \d+ late · \d+ skipped · \d+ bus retries · front [\d.]+ frames\/s, \d+ repeated$/);
    inject('camera-stall front 1');
    await waitFor(async () => /front [\d.]+ frames\/s, [1-9]\d* repeated/.test(await quality.textContent()), 'the repeats shown', 15000);
    await new Promise((r) => setTimeout(r, 1500));
    assert.ok(await quality.locator('.poor').count() >= 1, await quality.textContent());
    await app.getByRole('button', { name: 'End episode' }).click();
    await waitFor(async () => (await status()) === 'Ready to record episode 2', 'ready for episode 2', 30000);

    // Episode 2: the camera falls silent for longer than the 3 s allowed.
    await app.getByRole('button', { name: 'Start' }).click();
    await waitFor(async () => (await status()) === 'Recording episode 2' && (await quality.isVisible()), 'recording 2', 30000);
    inject('camera-stall front 30');
    await waitFor(async () => /^Stopped: front: .*a camera silent for 3 s ends the run/.test(await status()), 'the stop told', 30000)
      .catch(async (e) => {
        console.log(`status: ${await status()}\n${run.output.slice(-3000)}`);
        throw e;
      });
    assert.notEqual(await run.exit, 0);
    assert.match(run.output, /Session error/);
    assert.match(run.output, /The 1 episode\(s\) saved before the failure are being exported/);
    assert.deepEqual(errors, []);

    const state = await waitForExport(studio, 'lab/quality', 'quality-e2e');
    const dataset = await readDataset(state.datasetPath);
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.total_episodes, 1);  // the episode cut short is not in it
    const sidecar = JSON.parse(readFileSync(join(state.datasetPath, 'meta', 'tessaline.json'), 'utf8'));
    const first = sidecar.quality['0'];
    assert.equal(first.fps, 15);
    assert.ok(first.ticks >= 30, JSON.stringify(first));
    // 1 s of stall at 15 frames/s, less what a loaded machine lets slip.
    assert.ok(first.cameras.front.repeated >= 8, JSON.stringify(first));
    assert.ok(first.seconds * 15 >= first.ticks - 1, JSON.stringify(first));

    const viewer = await browser.newPage();
    await viewer.goto(`${studio.base}/velquin/datasets?repo=lab%2Fquality`);
    const item = viewer.locator('#episodes li').first();
    await item.waitFor();
    assert.match(await item.textContent(), /⚠ camera front: \d+ % of its frames repeated/);
  } finally {
    await close();
  }
});
