// The dataset viewer in Chromium against a real export whose tables another
// tool rewrote (DuckDB: nullable columns, dictionary pages, zstd): the list, both
// cameras playing in sync with the plots' cursor, seeking to frame N shows
// the picture logged as frame N, and deleting an episode with the keyboard
// leaves a dataset the independent readers accept. No console errors.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { join } from 'node:path';
import { readdirSync, renameSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { startStudio, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';

const WIDTH = 320;
const HEIGHT = 240;
const FPS = 30;
const SHORT = 45;
const MINUTE = 60 * FPS;

function logEpisode(studio, frames) {
  execFileSync(process.env.TESSALINE_LOG_FRAMES, ['--location', studio.flight, '--http', studio.base, '--frames', String(frames),
    '--cameras', '2', '--width', String(WIDTH), '--height', String(HEIGHT), '--fps', String(FPS), '--user-id', 'op'],
  { stdio: 'ignore' });
}

async function exportDataset(studio, repoId) {
  const res = await fetch(`${studio.base}/sessions/end`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ userId: 'op', repoId, fps: FPS, robotType: 'so101_follower' }),
  });
  assert.equal(res.status, 200);
  await waitFor(async () => {
    const s = await (await fetch(`${studio.base}/sessions/export-status?repoId=${encodeURIComponent(repoId)}&userId=op`)).json();
    assert.notEqual(s.state, 'failed', s.error);
    return s.state === 'done';
  }, 'export', 180000);
}

// Mean difference per channel between each camera's picture on screen and
// the logged frame `f`, over a patch away from the edges.
const episodeOpen = (page) => page.evaluate(() => {
  const v = window.tessalineViewer;
  return v.series !== null && v.plots.length > 0 && v.plots.length === v.series.state.values.length && v.firstFrameMs !== null;
});
// Keys go to the page, not to the list item or button last used.
const unfocus = (page) => page.evaluate(() => document.activeElement && document.activeElement.blur());

const pictureError = (page, f) => page.evaluate(({ f, WIDTH, HEIGHT }) => {
  // The picture log_frames sends as frame `f` of camera `c`, at (x, y).
  const logged = (f, c, x, y) => [(x + f * 4) % 256, (y + c * 80) % 256, Math.floor((x + y + f) / 2) % 256];
  return window.tessalineViewer.videos.map((video, c) => {
    const canvas = document.createElement('canvas');
    canvas.width = WIDTH;
    canvas.height = HEIGHT;
    const ctx = canvas.getContext('2d');
    ctx.drawImage(video, 0, 0, WIDTH, HEIGHT);
    const { data } = ctx.getImageData(20, 20, 40, 40);
    let sum = 0;
    for (let y = 0; y < 40; y += 1) {
      for (let x = 0; x < 40; x += 1) {
        const want = logged(f, c, x + 20, y + 20);
        for (let k = 0; k < 3; k += 1) sum += Math.abs(data[(y * 40 + x) * 4 + k] - want[k]);
      }
    }
    return sum / (40 * 40 * 3);
  });
}, { f, WIDTH, HEIGHT });

// The dataset's tables as another tool writes them: DuckDB, nullable columns,
// dictionary pages, zstd — what the viewer and deletion must read too.
async function rewriteTablesElsewhere(dataset) {
  const require = createRequire(join(process.env.TESSALINE_NODE_DIR, 'package.json'));
  const { DuckDBInstance } = require('@duckdb/node-api');
  const conn = await (await DuckDBInstance.create(':memory:')).connect();
  for (const table of ['data', join('meta', 'episodes')]) {
    for (const chunk of readdirSync(join(dataset, table))) {
      for (const file of readdirSync(join(dataset, table, chunk))) {
        const path = join(dataset, table, chunk, file);
        await conn.run(`COPY (SELECT * FROM read_parquet('${path}')) TO '${path}.other' (FORMAT parquet, COMPRESSION zstd)`);
        renameSync(`${path}.other`, path);
      }
    }
  }
}

runTest('dataset viewer shows, plays, seeks and deletes', async () => {
  const studio = await startStudio();
  const browser = await launchBrowser();
  try {
    logEpisode(studio, SHORT);
    logEpisode(studio, MINUTE);
    logEpisode(studio, SHORT);
    await exportDataset(studio, 'lab/viewer');
    await rewriteTablesElsewhere(join(studio.dataDir, 'datasets', 'lab%2Fviewer'));

    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    const errors = watchErrors(page, 'viewer');
    await page.goto(`${studio.base}/velquin/datasets`);
    const row = page.locator('#datasets tbody tr');
    await row.first().waitFor();
    assert.equal(await row.count(), 1);
    assert.match(await row.first().textContent(), /lab\/viewer.*so101_follower\s*3\s*1890/);
    const rowHeight = async () => (await row.first().boundingBox()).height;
    assert.ok(await rowHeight() < 40, `a dataset's row takes ${await rowHeight()} px at 1280 px: wrapped`);
    if (process.env.SCREENSHOT_DIR) await page.screenshot({ path: join(process.env.SCREENSHOT_DIR, 'dataset_list.png') });

    // Keyboard only: the dataset row, then the second episode (the long one).
    await row.first().focus();
    await page.keyboard.press('Enter');
    await page.locator('#episodes li').nth(2).waitFor();
    await page.locator('#episodes li').nth(1).focus();
    await page.keyboard.press('Enter');
    await waitFor(async () => (await page.evaluate(() => window.tessalineViewer.position === 1)) && episodeOpen(page),
      'episode 1 open');
    const openMs = await page.evaluate(() => window.tessalineViewer.firstFrameMs);
    console.log(`opening a 1-minute episode: first frame on screen after ${openMs.toFixed(0)} ms (goal < 500 ms)`);
    if (process.env.SCREENSHOT_DIR) await page.screenshot({ path: join(process.env.SCREENSHOT_DIR, 'dataset_player.png') });

    // Both cameras play, together, and the plots' cursor follows.
    await unfocus(page);
    await page.keyboard.press('Space');
    await waitFor(() => page.evaluate(() => window.tessalineViewer.frame > 20), 'playing');
    await page.keyboard.press('Space');
    const played = await page.evaluate(() => {
      const v = window.tessalineViewer;
      const ep = v.dataset.episodes[v.position];
      return {
        offsets: v.videos.map((video, i) => video.currentTime - ep.videos[v.dataset.cameras[i]].from),
        paused: v.videos.map((video) => video.paused),
        frame: v.frame,
        cursors: v.plots.map((p) => p.cursorTime),
      };
    });
    assert.deepEqual(played.paused, [true, true]);
    assert.ok(Math.abs(played.offsets[0] - played.offsets[1]) < 1 / FPS, `cameras apart: ${played.offsets}`);
    assert.ok(played.offsets[0] > 20 / FPS, `lead camera at ${played.offsets[0]}`);
    for (const t of played.cursors) assert.ok(Math.abs(t - played.frame / FPS) < 1e-9, `cursor at ${t}, frame ${played.frame}`);
    assert.ok(Math.abs(played.frame / FPS - played.offsets[0]) < 1 / FPS, 'cursor and video agree');

    // Seeking: frame 1234 shows the picture logged as frame 1234, on both cameras.
    const target = 1234;
    await page.getByLabel('Frame', { exact: true }).fill(String(target));
    await page.getByLabel('Frame', { exact: true }).press('Enter');
    await waitFor(() => page.evaluate((t) => window.tessalineViewer.frame === t, target), 'seek');
    await page.waitForTimeout(300);
    assert.match(await page.locator('#position').textContent(), /frame 1234 of 1800 · 41\.133 s/);
    const [at, before, after] = [await pictureError(page, target), await pictureError(page, target - 1), await pictureError(page, target + 1)];
    for (let c = 0; c < 2; c += 1) {
      assert.ok(at[c] < 3, `camera ${c}: picture differs by ${at[c]} from the logged frame`);
      assert.ok(at[c] < before[c] && at[c] < after[c], `camera ${c}: ${before[c]} / ${at[c]} / ${after[c]}`);
    }
    assert.ok(await rowHeight() < 40, 'the row still on one line beside the player');

    // The scrub bar goes where it is dragged; a plot tells its values under the pointer.
    await page.locator('#scrub').fill('600');
    await waitFor(() => page.evaluate(() => window.tessalineViewer.frame === 600), 'scrubbed to 600');
    await page.locator('#plots .plot').first().locator('.u-over').hover();
    assert.match(await page.locator('#plots .readout').first().textContent(), /^ \d+\.\d\d s · action -?\d+\.\d\d · state -?\d+\.\d\d$/);

    await page.getByLabel('Frame', { exact: true }).fill(String(target + 1));
    await page.getByLabel('Frame', { exact: true }).press('Enter');
    await waitFor(() => page.evaluate((t) => window.tessalineViewer.frame === t + 1, target), 'back at the frame after');
    await unfocus(page);
    await page.keyboard.press('ArrowRight');
    await waitFor(() => page.evaluate((t) => window.tessalineViewer.frame === t + 2, target), 'one frame on');
    await page.keyboard.press('PageDown');
    await waitFor(() => page.evaluate(() => window.tessalineViewer.dataset.episodes[window.tessalineViewer.position].index === 2),
      'next episode');
    // F labels it a failure: in the list and on the pressed button.
    await unfocus(page);
    await page.keyboard.press('f');
    await waitFor(async () => /✗ failure/.test(await page.locator('#episodes li').nth(2).textContent()), 'the label in the list');
    assert.equal(await page.locator('#label-failure').getAttribute('aria-pressed'), 'true');

    // Delete the first episode with the keyboard.
    await page.keyboard.press('PageUp');
    await page.keyboard.press('PageUp');
    await waitFor(async () => (await page.evaluate(() => window.tessalineViewer.position === 0)) && episodeOpen(page),
      'first episode');
    await unfocus(page);
    await page.keyboard.press('Delete');
    await page.locator('#confirm-delete').waitFor({ state: 'visible' });
    if (process.env.SCREENSHOT_DIR) await page.screenshot({ path: join(process.env.SCREENSHOT_DIR, 'dataset_delete.png') });
    await page.keyboard.press('Tab');
    await page.keyboard.press('Enter');
    await waitFor(async () => (await page.locator('#episodes li').count()) === 2, 'two episodes left');
    // The label moved up with its episode.
    assert.match(await page.locator('#episodes li').nth(1).textContent(), /✗ failure/);
    assert.doesNotMatch(await page.locator('#episodes li').nth(0).textContent(), /failure|success/);
    assert.match(await row.first().textContent(), /so101_follower\s*2\s*1845/);
    const dataset = JSON.parse(execFileSync(process.env.NODE_EXECUTABLE || process.execPath,
      [join(process.env.TESSALINE_NODE_DIR, 'read_dataset.mjs'), join(studio.dataDir, 'datasets', 'lab%2Fviewer')]).toString());
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.total_episodes, 2);
    assert.deepEqual(dataset.episodes.map((e) => e.length), [MINUTE, SHORT]);
    assert.deepEqual(errors, []);

    // A dataset whose episode table cannot be read: the error, naming it,
    // where the previous dataset's player and plots were.
    logEpisode(studio, 5);
    await exportDataset(studio, 'lab/broken');
    writeFileSync(join(studio.dataDir, 'datasets', 'lab%2Fbroken', 'meta', 'episodes', 'chunk-000', 'file-000.parquet'), 'not parquet');
    await page.reload();
    await page.locator('#datasets tbody tr', { hasText: 'lab/broken' }).click();
    await page.locator('#viewer-error').waitFor({ state: 'visible' });
    assert.match(await page.locator('#viewer-error').textContent(), /The dataset lab\/broken cannot be read: ./);
    await page.locator('#datasets tbody tr', { hasText: 'lab/viewer' }).click();
    await waitFor(() => episodeOpen(page), 'the good dataset again');
    assert.ok(await page.locator('#viewer-error').isHidden());
    await page.locator('#datasets tbody tr', { hasText: 'lab/broken' }).click();
    await page.locator('#viewer-error').waitFor({ state: 'visible' });
    assert.ok(await page.locator('#player').isHidden(), 'the previous dataset\'s player stays beside the error');
    assert.equal(await page.locator('#cameras video').count(), 0);
    assert.equal(await page.locator('#episodes li').count(), 0);
  } finally {
    await browser.close();
    await studio.stop();
  }
});
