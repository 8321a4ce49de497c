// Browser side of bench/webrtc_stream: opens the operator app, reads the
// frame counter drawn into the video (16 black/white squares) on every
// decoded frame, and prints {counter: wall-clock ms} as JSON at the end.
import { launchBrowser, waitFor } from '../tests/browser/support.mjs';

const [base, user, seconds] = process.argv.slice(2);
const browser = await launchBrowser();
try {
  const app = await browser.newPage();
  await app.goto(`${base}/velquin?user=${user}`);
  await waitFor(async () => (await app.locator('#connection').textContent()) === 'connected', 'connected', 60000);
  await app.locator('video').first().waitFor({ timeout: 20000 });
  const seen = await app.evaluate((ms) => new Promise((resolve) => {
    const video = document.querySelector('video');
    const canvas = document.createElement('canvas');
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    const seen = {};
    const onFrame = () => {
      const now = Date.now();
      if (video.videoWidth) {
        canvas.width = video.videoWidth;
        canvas.height = video.videoHeight;
        ctx.drawImage(video, 0, 0);
        let counter = 0;
        for (let bit = 0; bit < 16; ++bit) {
          const px = ctx.getImageData(bit * 40 + 20, 20, 1, 1).data;
          if (px[0] > 128) counter |= 1 << bit;
        }
        if (!(counter in seen)) seen[counter] = now;
      }
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
    setTimeout(() => resolve(seen), ms);
  }), Number(seconds) * 1000);
  console.log(JSON.stringify(seen));
} finally {
  await browser.close();
}
