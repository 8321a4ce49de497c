// The sign-in page sends the browser to the loopback callback with the name.
import { createServer } from 'node:http';
import assert from 'node:assert/strict';
import { startStudio, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';

runTest('sign-in redirects to the loopback callback with the user name', async () => {
  const studio = await startStudio();
  let received = null;
  const callback = createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname === '/callback') received = url.searchParams.get('username');
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end('<!doctype html><title>ok</title>signed in');
  });
  await new Promise((resolve) => callback.listen(0, '127.0.0.1', resolve));
  const redirect = `http://127.0.0.1:${callback.address().port}/callback`;
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage();
    const errors = watchErrors(page, 'sign-in');
    await page.goto(`${studio.base}/api/auth/velquin-login?redirect_uri=${redirect}`);
    await page.getByLabel('User name').fill('Ada Lovelace & co');
    await page.keyboard.press('Enter');
    await waitFor(() => received, 'the callback request');
    assert.equal(received, 'Ada Lovelace & co');
    assert.deepEqual(errors, []);
  } finally {
    await browser.close();
    callback.close();
    await studio.stop();
  }
});
