// The demo's headless run: the studio, the virtual rig, `tessaline capture`
// and headless Chromium playing the operator (sign-in, cameras, an episode,
// a second one with a retry, then End session), all inside a network
// namespace. Prints where the exported dataset is.
import { join, resolve } from 'node:path';
import { mkdirSync, writeFileSync } from 'node:fs';
import { startStudio, startRig, startProcess, signIn, signInOpener, waitForExport, launchBrowser, waitFor } from '../tests/browser/support.mjs';
import { driveSession } from '../tests/browser/session_drive.mjs';

const [cli, dataDir, robotKind] = process.argv.slice(2);
const data = resolve(dataDir);
mkdirSync(join(data, 'rig'), { recursive: true });
const studio = await startStudio(data);
console.log(`studio: ${studio.base} (Flight ${studio.flight}), data in ${studio.dataDir}`);
// The rig's arms come calibrated, with calibration files for the ids
// rig_follower and rig_leader, as arms set up by the robot framework do.
const rig = await startRig(join(data, 'rig'), ['--robot', robotKind, '--calibrated'], { HF_LEROBOT_HOME: join(data, 'home') });
console.log(`rig: a virtual ${robotKind} leader and follower with two cameras`);
const capture = startProcess(cli, ['capture', '--robot.id', 'rig_follower', '--teleop.id', 'rig_leader'], {
  HF_LEROBOT_HOME: join(data, 'home'), TESSALINE_VIRTUAL_HARDWARE: rig.manifest, VELQUIN_HTTP_SERVER: studio.base,
  VELQUIN_GRPC_SERVER: studio.flight, STUDIO_URL: studio.base, ...signInOpener,
});
capture.child.stdout.pipe(process.stdout);
capture.child.stderr.pipe(process.stderr);
const browser = await launchBrowser();
let code = 0;
let step = 'waiting for capture to ask for a sign-in';
try {
  await waitFor(() => capture.output.includes('Authentication Required'), 'the sign-in prompt', 60000);
  const app = await browser.newPage();
  step = 'signing in on the studio\'s page';
  await signIn(app, studio.base, 'demo');
  console.log('operator: signed in; cameras, an episode, a second one with a retry, then End session');
  step = 'playing the operator on the recording page';
  await driveSession(app, { repoId: 'demo/arm', datasetName: `demo-${robotKind}`, seconds: 2 });
  step = 'waiting for capture to finish';
  code = await capture.exit;
  step = 'waiting for the studio\'s export';
  const state = await waitForExport(studio, `demo-${robotKind}`, 'demo');
  console.log(`exported ${state.episodesAdded} episode(s), ${state.framesAdded} frame(s) to ${state.datasetPath}`);
  console.log(`To look at them: ${process.env.DEMO_VIEW || './scripts/demo --view'}`);
} catch (error) {
  // One line for the person at the terminal; the browser's full account in a file.
  const details = join(data, 'demo-failure.log');
  writeFileSync(details, `${error.stack || error}\n`);
  const first = String(error.message || error).split('\n')[0].replace(/^[\w.]+: /, '');
  console.error(`demo failed while ${step}: ${first} (details: ${details})`);
  code = 1;
} finally {
  capture.child.kill('SIGKILL');
  await browser.close();
  await rig.stop();
  await studio.stop();
}
process.exit(code);
