// The operator's part against a session run from Python: the studio's page
// in headless Chromium chooses the cameras, starts an episode, watches the
// frames the studio receives, ends the episode and then the session, and
// waits for the export's result. Prints one JSON line: the statuses the
// page received, what it showed, and its console errors.
//   node operator.mjs STUDIO_BASE USER_ID REPO_ID [EXPORT_TEXT]
// EXPORT_TEXT: what the export's line must show at the end (a regular
// expression; default: it begins with "Exported").
import { launchBrowser, watchErrors, waitFor } from '../browser/support.mjs';

const [base, user, repo, exportText = '^Exported'] = process.argv.slice(2);
const browser = await launchBrowser();
const report = { shown: {} };
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const errors = watchErrors(page, 'page');
  const text = (id) => page.locator(`#${id}`).textContent();
  await page.goto(`${base}/velquin?user=${encodeURIComponent(user)}`);
  await page.locator('#camera-selection').waitFor({ state: 'visible', timeout: 60000 });
  await page.getByRole('checkbox', { name: 'wrist', exact: true }).uncheck();
  await page.getByRole('button', { name: 'Use these cameras' }).click();
  await page.getByLabel('Repository id').fill(repo);
  await waitFor(async () => (await text('status')) === 'Ready to record episode 1', 'ready', 30000);
  await page.locator('#start').click();
  await waitFor(async () => (await text('status')) === 'Recording episode 1', 'recording', 30000);
  await waitFor(async () => Number(await text('frames')) >= 15, 'frames received by the studio', 30000);
  await page.locator('#end-episode').click();
  await waitFor(async () => (await text('status')) === 'Ready to record episode 2', 'ready again', 30000);
  const saved = page.locator('#saved li').first();
  await waitFor(async () => /^Episode/.test(await saved.textContent()), 'the saved episode', 30000);
  report.shown.saved = await saved.textContent();
  await page.getByRole('button', { name: 'End session' }).click();
  await waitFor(async () => new RegExp(exportText).test(await text('export-state')), 'the export result', 60000);
  report.shown.exported = await text('export-state');
  report.statuses = await page.evaluate(() => window.tessalineApp.statusLog);
  report.errors = errors;
} finally {
  await browser.close();
}
console.log(JSON.stringify(report));
