// A lab's fleet in one network namespace: a Ceph gateway and PostgreSQL of
// its own, and three studios sharing them. `tessaline capture` on the
// virtual rig talks to studio A, the operator's browser signs in and drives
// the session at studio B, and studio C, which only exports, writes the
// dataset into the bucket; the page at B follows the export to its end, and
// the bucket's dataset (read back with awscli) is sound. A fourth studio,
// reached from another computer, shows the fleet page to the user it names
// an admin and refuses it to another signed-in user.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { chmodSync, existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { startStudio, startRig, startProcess, signIn, signInOpener, launchBrowser, watchErrors, waitFor, runTest } from './support.mjs';
import { driveSession } from './session_drive.mjs';
import { readDataset } from '../node/read_dataset.mjs';

const storage = join(dirname(fileURLToPath(import.meta.url)), '..', 'storage');
const TOKEN = 'feedf00dfeedf00dfeedf00dfeedf00d';

// A browser context signed in as `user` at a studio reached from another computer.
async function signedInFromElsewhere(browser, base, user) {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(`${base}/velquin`);
  await page.getByLabel('Access token').fill(TOKEN);
  await page.getByLabel('Your user name').fill(user);
  await page.getByRole('button', { name: 'Continue' }).click();
  await page.waitForURL(`${base}/velquin`);
  return page;
}

const envFile = (path) => Object.fromEntries(readFileSync(path, 'utf8').split('\n').filter((l) => l.includes('='))
  .map((l) => [l.slice(0, l.indexOf('=')), l.slice(l.indexOf('=') + 1)]));

runTest('a session recorded through one studio, driven from another and exported on a third', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'fleet-round-trip-'));
  chmodSync(dir, 0o755);  // PostgreSQL runs as nobody
  const ceph = join(dir, 'ceph');
  const postgres = join(dir, 'postgres');
  const started = [];
  let browser;
  try {
    execFileSync(join(storage, 'ceph_cluster.sh'), ['start', ceph], { stdio: 'inherit', timeout: 180000 });
    execFileSync(join(storage, 'postgres_cluster.sh'), ['start', postgres], { stdio: 'inherit', timeout: 120000 });
    const s3 = envFile(join(ceph, 's3.env'));
    const db = envFile(join(postgres, 'db.env')).TESSALINE_TEST_DB;
    for (const name of ['AWS_ACCESS_KEY_ID', 'AWS_SECRET_ACCESS_KEY', 'AWS_REGION']) process.env[name] = s3[name];
    const shared = ['--store', 's3://lab-datasets/fleet', '--s3-endpoint', s3.S3_ENDPOINT, '--db', db];

    const robots = await startStudio(undefined, [...shared, '--no-export']);
    started.push(robots);
    const operators = await startStudio(undefined, [...shared, '--no-export']);
    started.push(operators);
    const exporter = startProcess(process.env.TESSALINE_STUDIO, ['--data-dir', join(dir, 'exporter'), ...shared, '--export-only']);
    started.push({ stop: async () => { exporter.child.kill('SIGTERM'); await exporter.exit; } });
    await waitFor(() => exporter.output.includes('is exporting the sessions'), 'the export-only studio', 30000);

    const rig = await startRig(dir, ['--robot', 'so101', '--cameras', '2', '--fps', '15', '--calibrated'],
      { HF_LEROBOT_HOME: join(dir, 'home') });
    started.push(rig);
    const capture = startProcess(process.env.TESSALINE_CLI, ['capture', '--robot.id', 'rig_follower', '--teleop.id', 'rig_leader'], {
      HF_LEROBOT_HOME: join(dir, 'home'), TESSALINE_VIRTUAL_HARDWARE: rig.manifest, VELQUIN_HTTP_SERVER: robots.base,
      VELQUIN_GRPC_SERVER: robots.flight, STUDIO_URL: operators.base, ...signInOpener, TESSALINE_PACKAGE_INDEX: 'http://127.0.0.1:9',
    });
    started.push({ stop: async () => { capture.child.kill('SIGKILL'); await capture.exit; } });
    await waitFor(() => capture.output.includes('Authentication Required'), 'the sign-in prompt', 60000);

    browser = await launchBrowser();
    const app = await browser.newPage();
    const errors = watchErrors(app, 'app');
    await signIn(app, operators.base, 'fleet-operator');
    // The store is down while the session ends: the episodes wait at A, and the page says why.
    execFileSync(join(storage, 'ceph_cluster.sh'), ['gateway-stop', ceph], { stdio: 'inherit', timeout: 60000 });
    await driveSession(app, { repoId: 'lab/arm', datasetName: 'fleet-set', limitMs: 60000 });
    assert.equal(await capture.exit, 0, capture.output);
    await waitFor(async () => /handing the episodes to the exporting studios is tried again: .*127\.0\.0\.1/
      .test(await app.locator('#export-state').textContent()), 'the page to say the hand-over waits', 60000);
    execFileSync(join(storage, 'ceph_cluster.sh'), ['gateway-start', ceph], { stdio: 'inherit', timeout: 90000 });

    // The page at B follows the export C makes, to the bucket.
    await waitFor(async () => /Published to s3:\/\/lab-datasets\/fleet\/fleet-set/.test(await app.locator('#export-state').textContent()),
      'the page to say the dataset is published', 180000);
    assert.match(await app.locator('#export-state').textContent(), /Exported 2 episodes, \d+ frames to fleet-set/);
    assert.deepEqual(errors, []);
    assert.match(exporter.output, /exported 2 episode\(s\)/);
    assert.ok(!existsSync(join(robots.dataDir, 'datasets')), 'the studio the robot talks to encoded nothing');

    const remote = await startStudio(undefined, [...shared, '--no-export', '--host', '10.254.0.1', '--token', TOKEN, '--admin', 'lab-admin']);
    started.push(remote);
    const admin = await signedInFromElsewhere(browser, remote.base, 'lab-admin');
    await admin.goto(`${remote.base}/velquin/fleet`);
    await waitFor(async () => /1 done today \(1 in all\)/.test(await admin.locator('#queue-summary').textContent()),
      "the admin's fleet page with the day's export", 30000);
    assert.equal(await admin.locator('#nodes tbody tr').count(), 4);
    const visitor = await signedInFromElsewhere(browser, remote.base, 'visitor');
    const ask = (page, path, body) => page.evaluate(async ([p, b]) => {
      const res = await fetch(p, b ? { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(b) } : {});
      return { status: res.status, answer: await res.json() };
    }, [path, body]);
    for (const [path, body] of [['/fleet/status'], ['/fleet/jobs/retry', { all: true }]]) {
      const refused = await ask(visitor, path, body);
      assert.equal(refused.status, 403, path);
      assert.match(refused.answer.error, /--admin; visitor is not one/);
    }
    assert.deepEqual(await ask(admin, '/fleet/jobs/retry', { all: true }), { status: 200, answer: { queued: 0 } });

    const copy = join(dir, 'copy');
    execFileSync('/usr/bin/aws', ['--endpoint-url', s3.S3_ENDPOINT, 's3', 'sync', 's3://lab-datasets/fleet/fleet-set', copy],
      { env: process.env, stdio: 'ignore', timeout: 120000 });
    const dataset = await readDataset(copy);
    assert.deepEqual(dataset.problems, []);
    assert.equal(dataset.info.total_episodes, 2);
    assert.equal(dataset.info.robot_type, 'so101_follower');
    for (const episode of dataset.episodes) assert.ok(episode.length >= 8, `episode of ${episode.length} frames`);
  } finally {
    if (browser) await browser.close();
    for (const s of started.reverse()) await s.stop();
    try { execFileSync(join(storage, 'postgres_cluster.sh'), ['stop', postgres], { stdio: 'inherit' }); } catch { /* not started */ }
    try { execFileSync(join(storage, 'ceph_cluster.sh'), ['stop', ceph], { stdio: 'inherit' }); } catch { /* not started */ }
    rmSync(dir, { recursive: true, force: true });
  }
});

