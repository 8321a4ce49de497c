// The demo's headless run: studio, the stream_session robot and headless
// Chromium playing the operator, all inside a network namespace. Prints
// where the exported dataset is.
import { spawn } from 'node:child_process';
import { resolve } from 'node:path';
import { startStudio, launchBrowser, waitFor } from '../tests/browser/support.mjs';
import { driveSession } from '../tests/browser/session_drive.mjs';

const [streamSession, dataDir] = process.argv.slice(2);
const studio = await startStudio(resolve(dataDir));
console.log(`studio: ${studio.base} (Flight ${studio.flight}), data in ${studio.dataDir}`);
const robot = spawn(streamSession, ['--server', studio.base, '--user-id', 'demo', '--fps', '15', '--connect-timeout', '60'],
  { stdio: ['ignore', 'inherit', 'inherit'], env: { ...process.env, VELQUIN_GRPC_SERVER: studio.flight } });
const robotExit = new Promise((r) => robot.on('exit', r));
const browser = await launchBrowser();
let code = 0;
try {
  const app = await browser.newPage();
  await app.goto(`${studio.base}/velquin?user=demo`);
  console.log('operator: choosing cameras, recording an episode, a second one with a retry, then ending');
  await driveSession(app, { repoId: 'demo/synthetic', datasetName: 'demo-synthetic', seconds: 2 });
  code = await robotExit;
  let state;
  await waitFor(async () => {
    state = await (await fetch(`${studio.base}/sessions/export-status?repoId=demo-synthetic`)).json();
    return state.state === 'done';
  }, 'the export', 30000);
  console.log(`exported ${state.episodesAdded} episode(s), ${state.framesAdded} frame(s) to ${state.datasetDir}`);
} catch (error) {
  console.error(`demo failed: ${error.message}`);
  code = 1;
} finally {
  robot.kill('SIGKILL');
  await browser.close();
  await studio.stop();
}
process.exit(code);
