// A web page of another origin, open in the operator's own browser, tries
// every request that changes something on a studio on loopback — as the
// simple requests a page may send without asking (text/plain and form
// bodies, no-cors fetches and form posts) — and nothing changes. A page
// whose name is rebound to this computer (DNS rebinding) reads nothing.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readdirSync, statSync, existsSync } from 'node:fs';
import { createServer } from 'node:http';
import { join } from 'node:path';
import { startStudio, launchBrowser, waitForExport, runTest } from './support.mjs';

const OP = 'op';

function logFrames(studio, frames, endEpisode) {
  execFileSync(process.env.TESSALINE_LOG_FRAMES, ['--location', studio.flight, ...(endEpisode ? ['--http', studio.base] : []),
    '--frames', String(frames), '--cameras', '1', '--width', '64', '--height', '64', '--fps', '15', '--user-id', OP],
  { stdio: 'ignore' });
}

async function post(studio, path, body) {
  const res = await fetch(`${studio.base}${path}`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  });
  return res.json();
}

const getJson = async (studio, path) => (await fetch(`${studio.base}${path}`)).json();

function filesUnder(dir) {
  if (!existsSync(dir)) return [];
  return readdirSync(dir, { recursive: true }).map((f) => join(dir, f)).filter((f) => statSync(f).isFile())
    .map((f) => `${f}:${statSync(f).size}`).sort();
}

// Everything the page might have changed.
async function snapshot(studio) {
  return {
    episodes: (await getJson(studio, '/datasets/episodes?repoId=lab%2Fkept')).episodes.length,
    datasets: (await getJson(studio, '/datasets')).datasets.map((d) => d.repoId).sort(),
    offer: (await getJson(studio, `/webrtc/offer?userId=${OP}`)).sdp,
    answer: (await getJson(studio, `/webrtc/answer?userId=${OP}`)).sdp,
    candidates: (await getJson(studio, `/webrtc/ice?userId=${OP}&receiver=robot&since=0`)).candidates.length,
    staged: filesUnder(join(studio.dataDir, 'staging')),
    jobs: filesUnder(join(studio.dataDir, 'export-jobs')),
    interrupted: filesUnder(join(studio.dataDir, 'interrupted')),
  };
}

// What the page sends: every state-changing endpoint, each as a no-cors
// fetch with a text/plain JSON body, with a form-encoded body, with a body
// that is itself a whole JSON request from loopback (the studio refuses the
// outer one; the inner must never be read as a request of its own), and as
// a real form post.
const ATTACKS = [
  ['/sessions/episodes/reset', { userId: OP }],
  ['/sessions/episodes/end', { userId: OP, repoId: 'evil/repo' }],
  ['/sessions/task', { userId: OP, task: 'chosen by the page' }],
  ['/sessions/end', { userId: OP, repoId: 'evil/repo', fps: 15 }],
  ['/sessions/export/retry', { userId: OP, repoId: 'evil/repo' }],
  ['/datasets/episodes/delete', { repoId: 'lab/kept', episode: 0 }],
  ['/webrtc/offer', { userId: OP, sdp: 'v=0 from the page', type: 'offer' }],
  ['/webrtc/answer', { userId: OP, offerId: 1, sdp: 'v=0 from the page', type: 'answer' }],
  ['/webrtc/ice', { userId: OP, sender: 'browser', candidate: 'candidate:1 1 udp 1 6.6.6.6 6666 typ host' }],
];

const attackPage = (studioBase) => `<!doctype html><html><body><script>
const studio = ${JSON.stringify(studioBase)};
const attacks = ${JSON.stringify(ATTACKS)};
const host = new URL(studio).host;
const inner = (path, body) => {
  const json = JSON.stringify(body);
  return 'POST ' + path + ' HTTP/1.1\\r\\nHost: ' + host + '\\r\\nContent-Type: application/json\\r\\nContent-Length: ' +
    new TextEncoder().encode(json).length + '\\r\\n\\r\\n' + json;
};
// The lockout: offers of a thousand made-up users hidden in a few requests,
// to fill the studio's negotiation slots so no real robot gets one.
window.lockOut = async () => {
  for (let visit = 0; visit < 50; ++visit) {
    let hidden = '';
    for (let k = 0; k < 20; ++k) hidden += inner('/webrtc/offer', { userId: 'lock' + visit + '-' + k, sdp: 'v=0', type: 'offer' });
    await fetch(studio + '/webrtc/ice', { method: 'POST', mode: 'no-cors', headers: { 'Content-Type': 'text/plain' }, body: hidden })
      .catch(() => {});
  }
};
window.attack = async () => {
  const sent = [];
  for (const [path, body] of attacks) {
    for (const [type, text] of [['text/plain', JSON.stringify(body)],
                                ['application/x-www-form-urlencoded', new URLSearchParams(body).toString()],
                                ['text/plain', inner(path, body)]]) {
      await fetch(studio + path, { method: 'POST', mode: 'no-cors', headers: { 'Content-Type': type }, body: text })
        .then(() => sent.push(path + ' ' + type), (e) => sent.push(path + ' failed ' + e));
    }
    // A plain form post, as a page can send without script too.
    await new Promise((resolve) => {
      const frame = document.createElement('iframe');
      frame.name = 'f' + sent.length;
      frame.onload = resolve;
      document.body.append(frame);
      const form = document.createElement('form');
      form.method = 'POST';
      form.action = studio + path;
      form.target = frame.name;
      form.enctype = 'text/plain';
      const field = document.createElement('input');
      field.name = JSON.stringify(body).slice(0, -1) + ', "pad": "';
      field.value = '"}';
      form.append(field);
      document.body.append(form);
      form.submit();
      setTimeout(resolve, 3000);
    });
    sent.push(path + ' form');
  }
  // Reading is blocked by the browser too: no CORS grant.
  let read = 'nothing';
  try { read = await (await fetch(studio + '/datasets')).text(); } catch (e) { read = 'blocked'; }
  return { sent, read };
};
</script></body></html>`;

runTest('a page of another origin changes nothing and a rebound name reads nothing', async () => {
  const studio = await startStudio();
  const attacker = createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end(attackPage(studio.base));
  });
  await new Promise((resolve) => attacker.listen(0, '127.0.0.1', resolve));
  // rebind.evil.example: a name whose owner made it resolve to this computer.
  const browser = await launchBrowser(['--host-resolver-rules=MAP rebind.evil.example 127.0.0.1']);
  try {
    // The operator's state: an exported dataset, an open episode, a robot's offer.
    logFrames(studio, 5, true);
    logFrames(studio, 6, true);
    await post(studio, '/sessions/end', { userId: OP, repoId: 'lab/kept', fps: 15 });
    await waitForExport(studio, 'lab/kept', OP);
    await post(studio, '/webrtc/offer', { userId: OP, sdp: 'v=0 the robot', type: 'offer' });
    logFrames(studio, 4, false);
    const before = await snapshot(studio);
    assert.equal(before.episodes, 2);
    assert.ok(before.staged.length > 0);

    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${attacker.address().port}/`);
    const { sent, read } = await page.evaluate(() => window.attack());
    assert.equal(sent.filter((s) => s.includes('failed')).length, 0, sent.join('\n'));
    assert.equal(sent.length, ATTACKS.length * 4);
    assert.equal(read, 'blocked');
    assert.deepEqual(await snapshot(studio), before);
    // After the lockout page's visit, a new robot still gets its negotiation.
    await page.evaluate(() => window.lockOut());
    assert.deepEqual(await post(studio, '/webrtc/offer', { userId: 'new-robot', sdp: 'v=0 a robot', type: 'offer' }), { ok: true });
    assert.equal((await getJson(studio, '/webrtc/offer?userId=lock0-0')).offerId, null);

    // DNS rebinding: the page's own name now leads to the studio. Chromium
    // resolves it to loopback; the page itself is what the attacker served.
    const rebinding = await browser.newContext();
    const port = new URL(studio.base).port;
    const rebound = `http://rebind.evil.example:${port}`;
    await rebinding.route(`${rebound}/attack.html`, (route) => route.fulfill({ contentType: 'text/html', body: '<!doctype html><p>hi</p>' }));
    const evil = await rebinding.newPage();
    await evil.goto(`${rebound}/attack.html`);
    const seen = await evil.evaluate(async () => {
      const answers = {};
      for (const path of ['/datasets', '/datasets/episodes?repoId=lab%2Fkept', '/webrtc/offer?userId=op', '/velquin']) {
        const res = await fetch(path);
        answers[path] = res.status;
      }
      const del = await fetch('/datasets/episodes/delete', {
        method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ repoId: 'lab/kept', episode: 0 }),
      });
      answers.delete = del.status;
      return answers;
    });
    for (const [path, status] of Object.entries(seen)) assert.equal(status, 421, `${path} answered ${status}`);
    assert.deepEqual(await snapshot(studio), before);
    await rebinding.close();
  } finally {
    await browser.close();
    attacker.close();
    await studio.stop();
  }
});
