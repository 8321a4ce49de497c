// Shared pieces of the browser tests: the studio as a child process and
// headless Chromium through playwright-core. Run inside a network
// namespace that has only loopback (see run_in_netns.sh).
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

const require = createRequire(join(process.env.TESSALINE_NODE_DIR, 'package.json'));
const { chromium } = require('playwright-core');

// Starts tessaline-studio on free ports (or the ones given); a given data directory is kept.
export async function startStudio(keepDataDir, extraArgs = [], { httpPort = 0, flightPort = 0 } = {}) {
  const dataDir = keepDataDir || mkdtempSync(join(tmpdir(), 'studio-browser-'));
  const child = spawn(process.env.TESSALINE_STUDIO, ['--http-port', String(httpPort), '--flight-port', String(flightPort),
    '--data-dir', dataDir, ...extraArgs], {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  let flight = '';
  const base = await new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const m = out.match(/HTTP API:\s+(http:\/\/\S+)/);
      const f = out.match(/Arrow Flight:\s+(grpc:\/\/\S+)/);
      if (m && f) {
        flight = f[1];
        resolve(m[1]);
      }
    });
    child.on('exit', (code) => reject(new Error(`studio exited with ${code}: ${out}`)));
  });
  return {
    base,
    flight,
    dataDir,
    async stop() {
      child.kill('SIGTERM');
      await new Promise((resolve) => child.on('exit', resolve));
      if (!keepDataDir) rmSync(dataDir, { recursive: true, force: true });
    },
  };
}

const launchOptions = (extraArgs = []) => ({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: [...extraArgs,
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      // Only loopback exists in the test namespace. The stand-in robot page
      // is served by the test itself (no address), which Chromium's local
      // network checks would count as public and block from the studio.
      '--allow-loopback-in-peer-connection', '--disable-features=WebRtcHideLocalIpsWithMdns,LocalNetworkAccessChecks',
    ],
});

export async function launchBrowser(extraArgs = []) {
  return chromium.launch(launchOptions(extraArgs));
}

// A browser whose process the test can kill (a crash, not a clean close).
export async function launchKillableBrowser() {
  const server = await chromium.launchServer(launchOptions());
  const browser = await chromium.connect(server.wsEndpoint());
  // The browser leads its own process group: a crash takes the renderers
  // (where the media runs) down with it, not seconds later.
  const kill = () => {
    const { pid } = server.process();
    try { process.kill(-pid, 'SIGKILL'); } catch { server.process().kill('SIGKILL'); }
  };
  return { browser, kill };
}

// Collects console errors and uncaught exceptions of a page.
export function watchErrors(page, name) {
  const errors = [];
  page.on('console', (msg) => { if (msg.type() === 'error') errors.push(`${name} console: ${msg.text()}`); });
  page.on('pageerror', (err) => errors.push(`${name} exception: ${err.message}`));
  return errors;
}

export async function waitFor(predicate, what, timeoutMs = 15000) {
  const until = Date.now() + timeoutMs;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > until) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

export async function runTest(name, body) {
  const started = Date.now();
  try {
    await body();
    console.log(`ok - ${name} (${Date.now() - started} ms)`);
    console.log('1 passed, 0 failed');
    process.exit(0);
  } catch (error) {
    console.log(`not ok - ${name}: ${error.stack || error}`);
    console.log('0 passed, 1 failed');
    process.exit(1);
  }
}

// Starts tessaline-rig (simulated arms and cameras); resolves once its
// manifest is written. `stop()` ends it and removes its devices. With
// --calibrated, `env.HF_LEROBOT_HOME` says where its calibration files go.
export async function startRig(dir, args = [], env = {}) {
  const manifest = join(dir, 'rig.json');
  const child = spawn(process.env.TESSALINE_RIG, [...args, '--manifest', manifest],
    { stdio: ['ignore', 'pipe', 'inherit'], env: { ...process.env, ...env } });
  await new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      if (out.includes('export TESSALINE_VIRTUAL_HARDWARE=')) resolve();
    });
    child.on('exit', (code) => reject(new Error(`rig exited with ${code}: ${out}`)));
  });
  return {
    manifest,
    // SIGUSR1: the follower's servos stop answering; SIGUSR2: they answer again.
    signal(name) { child.kill(name); },
    async stop() {
      child.kill('SIGTERM');
      await new Promise((resolve) => child.on('exit', resolve));
    },
  };
}

// Runs a command in the background, keeping what it prints.
export function startProcess(program, args, env) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  const run = { output: '', child };
  child.stdout.on('data', (c) => { run.output += c; });
  child.stderr.on('data', (c) => { run.output += c; });
  run.exit = new Promise((resolve) => child.on('exit', (code, signal) => resolve(code ?? signal)));
  return run;
}

// Given to a robot as its browser: the address it opens for its sign-in
// (with the sign-in's nonce) is noted for signIn to follow.
const signInUrlFile = join(tmpdir(), `tessaline-signin-${process.pid}`);
export const signInOpener = {
  BROWSER: join(dirname(fileURLToPath(import.meta.url)), 'note_signin_url.sh'),
  TESSALINE_SIGNIN_URL_FILE: signInUrlFile,
};

// The studio's sign-in page, where the robot's sign-in prompt sends the
// operator (the address the robot opened, once it has opened it).
export async function signIn(page, studioBase, user) {
  let url;
  await waitFor(() => {
    try {
      url = readFileSync(signInUrlFile, 'utf8').trim();
    } catch {
      return false;
    }
    rmSync(signInUrlFile);
    return true;
  }, "the robot's sign-in address", 60000);
  assert(url.startsWith(`${studioBase}/api/auth/velquin-login?redirect_uri=http://127.0.0.1:`), url);
  await page.goto(url);
  await page.getByLabel('User name').fill(user);
  await page.getByRole('button', { name: 'Sign in' }).click();
  await page.waitForURL(/\/velquin/, { timeout: 15000 });
}

// `tessaline capture` on the virtual rig, signed in from a page of
// Chromium as `user` and ready to record episode 1 (the cameras used as
// offered). The rig takes `rigArgs` and faults through `faults`, a pipe
// written by `inject(line)`; `close()` ends everything and removes `dir`.
export async function captureOnRig(dir, user, rigArgs, captureArgs = []) {
  const faults = join(dir, 'faults');
  const home = join(dir, 'home');
  const studio = await startStudio();
  const rig = await startRig(dir, [...rigArgs, '--calibrated', '--faults', faults], { HF_LEROBOT_HOME: home });
  const env = {
    HF_LEROBOT_HOME: home, TESSALINE_VIRTUAL_HARDWARE: rig.manifest, VELQUIN_HTTP_SERVER: studio.base,
    VELQUIN_GRPC_SERVER: studio.flight, STUDIO_URL: studio.base, ...signInOpener, TESSALINE_PACKAGE_INDEX: 'http://127.0.0.1:9',
  };
  const browser = await launchBrowser();
  const run = startProcess(process.env.TESSALINE_CLI,
    ['capture', '--robot.id', 'rig_follower', '--teleop.id', 'rig_leader', ...captureArgs], env);
  const close = async () => {
    run.child.kill('SIGKILL');
    await browser.close();
    await rig.stop();
    await studio.stop();
    rmSync(dir, { recursive: true, force: true });
  };
  try {
    await waitFor(() => run.output.includes('Authentication Required'), 'the sign-in prompt', 60000);
    const app = await browser.newPage();
    const errors = watchErrors(app, 'app');
    await signIn(app, studio.base, user);
    const status = () => app.locator('#status').textContent();
    const choosing = () => app.locator('#camera-selection').isVisible();
    await waitFor(async () => (await choosing()) || (await status()) === 'Ready to record episode 1', 'ready', 60000);
    if (await choosing()) await app.getByRole('button', { name: 'Use these cameras' }).click();
    await waitFor(async () => (await status()) === 'Ready to record episode 1', 'ready for episode 1', 30000);
    return { studio, browser, run, app, errors, status, inject: (line) => writeFileSync(faults, `${line}\n`), close };
  } catch (e) {
    await close();
    throw e;
  }
}

// Waits for the studio to finish `userId`'s export of `repoId`; the
// export's state, with `datasetPath` where the dataset is on disk.
export async function waitForExport(studio, repoId, userId) {
  let state;
  const query = `repoId=${encodeURIComponent(repoId)}&userId=${encodeURIComponent(userId)}`;
  await waitFor(async () => {
    state = await (await fetch(`${studio.base}/sessions/export-status?${query}`)).json();
    if (state.state === 'failed') throw new Error(`the export of ${repoId} failed: ${state.error}`);
    return state.state === 'done';
  }, `the export of ${repoId}`, 30000);
  return { ...state, datasetPath: join(studio.dataDir, state.datasetDir) };
}
