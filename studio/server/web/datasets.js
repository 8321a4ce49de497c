// Dataset viewer: the studio's exported datasets, their episodes, and a
// player that shows every camera in sync (the exported MP4s, decoded by the
// browser) with each joint's action and observed state over time.
'use strict';

const viewer = {
  datasets: [],
  repoId: null,
  dataset: null,     // {fps, cameras, episodes: [{index, length, tasks, videos}]}
  position: -1,      // of the open episode in dataset.episodes
  series: null,      // the open episode's joint values
  videos: [],        // one <video> per camera, the first leads
  plots: [],
  frame: 0,
  playing: false,
  openedAt: 0,
  firstFrameMs: null,  // opening an episode → its first frame on screen
  opening: null,       // the episode being opened (a later open wins)
  scrubbing: false,    // a drag of the scrub bar is being followed
  scrubTo: null,       // ... and the frame it reached last
};
window.tessalineViewer = viewer;

const $ = (id) => document.getElementById(id);

async function getJson(path) {
  const res = await fetch(path, { cache: 'no-store' });
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(body.error || `${path}: ${res.status}`);
  return body;
}

function element(tag, props = {}, children = []) {
  const node = document.createElement(tag);
  Object.assign(node, props);
  for (const child of children) node.append(child);
  return node;
}

const formatSeconds = (s) => (s >= 60 ? `${Math.floor(s / 60)}:${String(Math.round(s % 60)).padStart(2, '0')} min` : `${s.toFixed(1)} s`);
function formatBytes(n) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (n >= 1000 && i < units.length - 1) { n /= 1000; i += 1; }
  return `${n.toFixed(i ? 1 : 0)} ${units[i]}`;
}
const cameraName = (key) => key.replace(/^observation\.images\./, '');
const videoUrl = (path) => `/datasets/video?repoId=${encodeURIComponent(viewer.repoId)}&path=${encodeURIComponent(path)}`;

// Rows and list items act on Enter and Space like buttons.
function activatable(node, action) {
  node.tabIndex = 0;
  node.addEventListener('click', action);
  node.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' || e.key === ' ') {
      e.preventDefault();
      e.stopPropagation();
      action();
    }
  });
}

// ---- Datasets and episodes -------------------------------------------------

async function loadDatasets() {
  const listing = await getJson('/datasets');
  viewer.datasets = listing.datasets;
  $('store-error').textContent = listing.storeError
    ? `The bucket does not answer; these are the last copies this studio has: ${listing.storeError}` : '';
  $('store-error').hidden = !listing.storeError;
  const body = $('datasets').tBodies[0];
  body.replaceChildren();
  $('no-datasets').hidden = viewer.datasets.length > 0;
  for (const d of viewer.datasets) {
    const row = element('tr', {}, [
      element('td', d.unsupported ? { textContent: `${d.repoId} (${d.version || 'older'} layout)`, title: d.unsupported }
        : { textContent: d.repoId }),
      element('td', { textContent: d.robotType }),
      element('td', { textContent: d.episodes }),
      element('td', { textContent: d.frames }),
      element('td', { textContent: formatSeconds(d.durationSeconds) }),
      element('td', { textContent: formatBytes(d.bytes) }),
      element('td', { textContent: new Date(d.modified * 1000).toLocaleString([], { dateStyle: 'short', timeStyle: 'short', hourCycle: 'h23' }),
        title: `${d.codec} video` }),
    ]);
    row.dataset.repo = d.repoId;
    row.setAttribute('aria-selected', String(d.repoId === viewer.repoId));
    activatable(row, () => openDataset(d.repoId));
    body.append(row);
  }
}

function showViewerError(text) {
  $('viewer-error').textContent = text;
  $('viewer-error').hidden = !text;
}

// Nothing of the episode shown before stays beside another dataset's error.
function clearPlayer() {
  pause();
  for (const plot of viewer.plots) plot.destroy();
  viewer.plots = [];
  $('plots').replaceChildren();
  $('cameras').replaceChildren();
  viewer.videos = [];
  viewer.series = null;
  viewer.opening = null;
  $('player').hidden = true;
}

async function openDataset(repoId, episode = 0, frame = 0) {
  viewer.repoId = repoId;
  showViewerError('');
  try {
    viewer.dataset = await getJson(`/datasets/episodes?repoId=${encodeURIComponent(repoId)}`);
  } catch (error) {
    viewer.dataset = null;
    $('episodes').replaceChildren();
    $('episodes-title').hidden = true;
    clearPlayer();
    showViewerError(`The dataset ${repoId} cannot be read: ${error.message}`);
    return;
  }
  for (const row of $('datasets').tBodies[0].rows) row.setAttribute('aria-selected', String(row.dataset.repo === repoId));
  renderEpisodes();
  const position = Math.max(0, viewer.dataset.episodes.findIndex((e) => e.index === episode));
  if (viewer.dataset.episodes.length) await openEpisode(position, frame);
}

function renderEpisodes() {
  const list = $('episodes');
  list.replaceChildren();
  $('episodes-title').hidden = false;
  $('episodes-title').textContent = `Episodes of ${viewer.repoId}${viewer.dataset.readOnly ? ' (recorded by another tool: read-only)' : ''}`;
  $('delete-episode').hidden = Boolean(viewer.dataset.readOnly);
  $('labelling').hidden = Boolean(viewer.dataset.readOnly);
  const { fps } = viewer.dataset;
  const lazy = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      if (!entry.isIntersecting) continue;
      const video = entry.target;
      video.src = video.dataset.src;  // only thumbnails in view load
      lazy.unobserve(video);
    }
  }, { root: list });
  viewer.dataset.episodes.forEach((ep, position) => {
    const thumbs = element('span', { className: 'thumbs' });
    for (const camera of viewer.dataset.cameras) {
      const v = ep.videos[camera];
      const thumb = element('video', { muted: true, preload: 'metadata', title: cameraName(camera) });
      thumb.dataset.src = `${videoUrl(v.path)}#t=${(v.from + 0.5 / fps).toFixed(4)}`;
      thumb.setAttribute('aria-hidden', 'true');
      thumb.tabIndex = -1;
      lazy.observe(thumb);
      thumbs.append(thumb);
    }
    const item = element('li', {}, [
      thumbs,
      element('span', { className: 'meta' }, [
        element('strong', { textContent: `Episode ${ep.index}` }),
        ` · ${ep.length} frames · ${formatSeconds(ep.length / fps)}`,
        ...(ep.label ? [' · ', element('span', { className: `label ${ep.label.label}`, textContent: labelText(ep.label) })] : []),
        ...(ep.qualityFlags?.length ? [' · ', element('span', { className: 'flagged', textContent: `⚠ ${ep.qualityFlags.join('; ')}` })] : []),
        element('br'),
        element('span', { className: 'task', textContent: ep.tasks.join(', ') }),
      ]),
    ]);
    item.dataset.episode = ep.index;
    activatable(item, () => openEpisode(position));
    list.append(item);
  });
}

// ---- The player --------------------------------------------------------------

const episode = () => viewer.dataset.episodes[viewer.position];
const lead = () => viewer.videos[0];

async function openEpisode(position, frame = 0) {
  const ep = viewer.dataset.episodes[position];
  if (!ep) return;
  pause();
  viewer.position = position;
  viewer.opening = ep;
  viewer.openedAt = performance.now();
  viewer.firstFrameMs = null;
  viewer.frame = 0;
  $('player').hidden = false;
  $('player-title').textContent = `${viewer.repoId} · episode ${ep.index} of ${viewer.dataset.episodes.length}`;
  showLabel();
  showQuality(ep);
  $('seek-frame').max = ep.length - 1;
  $('scrub').max = ep.length - 1;
  for (const item of $('episodes').children) item.setAttribute('aria-current', String(Number(item.dataset.episode) === ep.index));
  history.replaceState(null, '', `?repo=${encodeURIComponent(viewer.repoId)}&episode=${ep.index}`);

  showVideos(ep);
  const seriesLoad = getJson(`/datasets/episode?repoId=${encodeURIComponent(viewer.repoId)}&episode=${ep.index}`);
  await seek(frame);
  let series;
  try {
    series = await seriesLoad;
  } catch (error) {
    if (viewer.opening !== ep) return;
    for (const plot of viewer.plots) plot.destroy();
    viewer.plots = [];
    $('plots').replaceChildren();
    showViewerError(`Episode ${ep.index} of ${viewer.repoId} cannot be read: ${error.message}`);
    return;
  }
  if (viewer.opening !== ep) return;  // another episode was opened meanwhile
  showViewerError('');
  viewer.series = series;
  drawPlots();
  update();
}

// One <video> per camera; kept when the next episode is in the same file.
function showVideos(ep) {
  const box = $('cameras');
  const cameras = viewer.dataset.cameras;
  const same = viewer.videos.length === cameras.length &&
    viewer.videos.every((v, i) => v.dataset.path === ep.videos[cameras[i]].path);
  if (!same) {
    box.replaceChildren();
    viewer.videos = cameras.map((camera) => {
      const video = element('video', { muted: true, playsInline: true, preload: 'auto' });
      video.dataset.camera = camera;
      video.dataset.path = ep.videos[camera].path;
      video.src = videoUrl(ep.videos[camera].path);
      video.setAttribute('aria-label', `camera ${cameraName(camera)}`);
      box.append(element('figure', {}, [video, element('figcaption', { textContent: cameraName(camera) })]));
      return video;
    });
    lead().addEventListener('seeked', () => update());
    lead().addEventListener('ended', () => pause());
  }
}

// The episode's frame `n` on every camera; resolves once the lead camera shows it.
async function seek(n) {
  const ep = episode();
  const { fps } = viewer.dataset;
  viewer.frame = Math.min(Math.max(0, Math.round(n)), ep.length - 1);
  // The middle of the frame's display interval: exactly that frame, whatever the rounding.
  const offset = (viewer.frame + 0.5) / fps;
  const shown = viewer.videos.map((video, i) => new Promise((resolve) => {
    const target = ep.videos[viewer.dataset.cameras[i]].from + offset;
    const go = () => {
      if (Math.abs(video.currentTime - target) < 1e-6 && video.readyState >= 2) {
        resolve();
        return;
      }
      video.addEventListener('seeked', () => resolve(), { once: true });
      video.currentTime = target;
    };
    if (video.readyState >= 1) go();
    else video.addEventListener('loadedmetadata', go, { once: true });
  }));
  await Promise.all(shown);
  await new Promise((resolve) => {
    if (lead().requestVideoFrameCallback) lead().requestVideoFrameCallback(() => resolve());
    else resolve();
    setTimeout(resolve, 250);  // a seek to the frame already shown presents nothing new
  });
  if (viewer.firstFrameMs === null) viewer.firstFrameMs = performance.now() - viewer.openedAt;
  update();
}

function currentFrame() {
  const ep = episode();
  const t = lead().currentTime - ep.videos[viewer.dataset.cameras[0]].from;
  return Math.min(Math.max(0, Math.floor(t * viewer.dataset.fps + 1e-6)), ep.length - 1);
}

function update() {
  if (!viewer.dataset || viewer.position < 0 || !viewer.videos.length) return;
  const ep = episode();
  const { fps } = viewer.dataset;
  viewer.frame = currentFrame();
  $('position').textContent = `frame ${viewer.frame} of ${ep.length} · ${(viewer.frame / fps).toFixed(3)} s`;
  if (document.activeElement !== $('seek-frame')) $('seek-frame').value = viewer.frame;
  if (!viewer.scrubbing) $('scrub').value = viewer.frame;
  // The other cameras follow the lead within half a frame.
  const leadOffset = lead().currentTime - ep.videos[viewer.dataset.cameras[0]].from;
  viewer.videos.slice(1).forEach((video, i) => {
    const target = ep.videos[viewer.dataset.cameras[i + 1]].from + leadOffset;
    if (Math.abs(video.currentTime - target) > 0.5 / fps) video.currentTime = target;
  });
  for (const plot of viewer.plots) plot.redraw(false, false);
  if (viewer.playing && viewer.frame >= ep.length - 1 && leadOffset >= ep.length / fps - 0.5 / fps) pause();
}

function tick() {
  if (!viewer.playing) return;
  update();
  if (lead().requestVideoFrameCallback) lead().requestVideoFrameCallback(tick);
  else requestAnimationFrame(tick);
}

async function play() {
  if (!viewer.videos.length || viewer.playing) return;
  if (viewer.frame >= episode().length - 1) await seek(0);
  viewer.playing = true;
  $('play').textContent = 'Pause';
  await Promise.all(viewer.videos.map((v) => v.play().catch(() => {})));
  tick();
}

function pause() {
  viewer.playing = false;
  for (const v of viewer.videos) v.pause();
  $('play').textContent = 'Play';
  update();  // the frame where playback stopped, cameras aligned on it
}

const togglePlay = () => (viewer.playing ? pause() : play());
function step(frames) {
  pause();
  return seek(viewer.frame + frames);
}
function openNeighbour(delta) {
  const next = viewer.position + delta;
  if (viewer.dataset && next >= 0 && next < viewer.dataset.episodes.length) openEpisode(next);
}

// ---- Plots -------------------------------------------------------------------

// A vertical line where playback is, drawn with the plot.
function cursorLine() {
  return {
    hooks: {
      draw: (u) => {
        const t = viewer.frame / viewer.dataset.fps;
        const x = u.valToPos(t, 'x', true);
        const { ctx } = u;
        ctx.save();
        ctx.strokeStyle = '#e03131';
        ctx.lineWidth = 2 * devicePixelRatio;
        ctx.beginPath();
        ctx.moveTo(x, u.bbox.top);
        ctx.lineTo(x, u.bbox.top + u.bbox.height);
        ctx.stroke();
        ctx.restore();
        u.cursorTime = t;  // read by tests
      },
    },
  };
}

// The values under the pointer, beside the joint's name.
function hoverReadout(readout) {
  const number = (v) => (v == null ? '–' : v.toFixed(2));
  return {
    hooks: {
      setCursor: (u) => {
        const i = u.cursor.idx;
        readout.textContent = i == null ? ''
          : ` ${u.data[0][i].toFixed(2)} s · action ${number(u.data[1][i])} · state ${number(u.data[2][i])}`;
      },
    },
  };
}

function drawPlots() {
  for (const plot of viewer.plots) plot.destroy();
  viewer.plots = [];
  const box = $('plots');
  box.replaceChildren();
  const { fps } = viewer.dataset;
  const { action, state } = viewer.series;
  const times = viewer.series.frameIndex.map((i) => i / fps);
  const columns = getComputedStyle(box).gridTemplateColumns.split(' ').length;
  const width = Math.max(200, Math.floor(box.clientWidth / columns) - 6);
  state.values.forEach((values, j) => {
    const name = (state.names[j] || `joint ${j}`).replace(/\.pos$/, '');
    const readout = element('span', { className: 'readout' });
    const holder = element('div', { className: 'plot' }, [element('h3', { textContent: name }, [readout])]);
    holder.setAttribute('role', 'img');
    holder.setAttribute('aria-label', `${name}: action and observed state over the episode`);
    box.append(holder);
    const plot = new uPlot({
      width,
      height: 110,
      legend: { show: false },
      cursor: { drag: { x: false, y: false } },
      scales: { x: { time: false } },
      axes: [{ size: 30, font: '10px system-ui', label: 's', labelSize: 12, labelFont: '10px system-ui' },
        { size: 40, font: '10px system-ui' }],
      series: [{ label: 's' }, { label: 'action', stroke: '#e8590c', width: 1.5 }, { label: 'state', stroke: '#1c7ed6', width: 1.5 }],
      plugins: [cursorLine(), hoverReadout(readout)],
    }, [times, action.values[j] || [], values], holder);
    // Clicking a plot jumps to that moment.
    plot.over.addEventListener('click', () => {
      const t = plot.posToVal(plot.cursor.left, 'x');
      if (Number.isFinite(t)) step(Math.round(t * fps) - viewer.frame);
    });
    viewer.plots.push(plot);
  });
}

// ---- Labelling ----------------------------------------------------------------

// How the robot recorded the episode, when it said so; what a training set
// would reject it for is flagged by the studio.
function showQuality(ep) {
  const q = ep.quality;
  $('episode-quality').hidden = !q;
  if (!q) return;
  const cameras = Object.entries(q.cameras || {}).map(([name, c]) => `${cameraName(name)} ${Number(c.fps).toFixed(1)} frames/s, ${c.repeated} repeated`);
  const text = [`recorded at ${Number(q.rate).toFixed(1)} of ${q.fps} frames/s`, `${q.late_ticks} late`, `${q.skipped_ticks} skipped`,
    `${q.bus_retries} bus retries`, ...cameras].join(' · ');
  $('episode-quality').replaceChildren(text,
    ...(ep.qualityFlags?.length ? [element('br'), element('span', { className: 'flagged', textContent: `⚠ ${ep.qualityFlags.join('; ')}` })] : []));
}

function labelText(label) {
  const mark = label.label === 'success' ? '✓ success' : '✗ failure';
  return label.note ? `${mark}: ${label.note}` : mark;
}

function showLabel() {
  const label = episode()?.label?.label;
  $('label-success').setAttribute('aria-pressed', String(label === 'success'));
  $('label-failure').setAttribute('aria-pressed', String(label === 'failure'));
}

// The open episode's label; the one it has already clears it.
async function setLabel(label) {
  if (!viewer.dataset || viewer.position < 0 || viewer.dataset.readOnly) return;
  const ep = episode();
  const next = ep.label?.label === label ? null : label;
  const res = await fetch('/datasets/episodes/label', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ repoId: viewer.repoId, episode: ep.index, label: next }),
  });
  const body = await res.json().catch(() => ({}));
  if (!res.ok) {
    $('player-title').textContent = `Not labelled: ${body.error || res.status}`;
    return;
  }
  if (next) ep.label = { label: next, note: '' };
  else delete ep.label;
  const item = [...$('episodes').children].find((li) => Number(li.dataset.episode) === ep.index);
  const meta = item?.querySelector('.meta');
  if (meta) {
    meta.querySelector('.label')?.previousSibling?.remove();
    meta.querySelector('.label')?.remove();
    if (ep.label) meta.querySelector('br').before(' · ', element('span', { className: `label ${next}`, textContent: labelText(ep.label) }));
  }
  showLabel();
}

// ---- Deleting ----------------------------------------------------------------

function askDelete() {
  if (!viewer.dataset || viewer.position < 0 || viewer.dataset.readOnly) return;
  pause();
  const ep = episode();
  $('confirm-text').textContent =
    `Episode ${ep.index} (${ep.length} frames) leaves ${viewer.repoId} for good; the episodes after it move up by one, ` +
    'and the videos that held it are written again without it (the other episodes\' pictures are copied, not encoded again).';
  $('confirm-delete').showModal();
}

async function deleteEpisode() {
  const ep = episode();
  const res = await fetch('/datasets/episodes/delete', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ repoId: viewer.repoId, episode: ep.index }),
  });
  const body = await res.json().catch(() => ({}));
  if (!res.ok) {
    $('player-title').textContent = `Not deleted: ${body.error || res.status}`;
    return;
  }
  viewer.videos = [];  // the files' episodes changed: load afresh
  await loadDatasets();
  await openDataset(viewer.repoId, Math.min(ep.index, body.episodes - 1));
}

// ---- Keyboard and start-up -----------------------------------------------------

document.addEventListener('keydown', (e) => {
  if (!viewer.dataset || e.altKey || e.ctrlKey || e.metaKey) return;
  const target = e.target.closest ? e.target : document.body;
  if (target.closest('input, textarea, dialog')) return;                   // typing, or the dialog's own keys
  if (target.closest('button') && (e.key === ' ' || e.key === 'Enter')) return;  // the button's own press
  const { fps } = viewer.dataset;
  const actions = {
    ' ': togglePlay,
    ArrowLeft: () => step(e.shiftKey ? -fps : -1),
    ArrowRight: () => step(e.shiftKey ? fps : 1),
    Home: () => step(-viewer.frame),
    End: () => step(episode().length),
    PageUp: () => openNeighbour(-1),
    PageDown: () => openNeighbour(1),
    p: () => openNeighbour(-1),
    n: () => openNeighbour(1),
    Delete: askDelete,
    s: () => setLabel('success'),
    f: () => setLabel('failure'),
  };
  const action = actions[e.key];
  if (!action || viewer.position < 0) return;
  e.preventDefault();
  action();
});

$('play').addEventListener('click', togglePlay);
$('previous-frame').addEventListener('click', () => step(-1));
$('next-frame').addEventListener('click', () => step(1));
$('previous-episode').addEventListener('click', () => openNeighbour(-1));
$('next-episode').addEventListener('click', () => openNeighbour(1));
$('delete-episode').addEventListener('click', askDelete);
$('label-success').addEventListener('click', () => setLabel('success'));
$('label-failure').addEventListener('click', () => setLabel('failure'));
// Dragging the scrub bar shows each frame it passes, one seek at a time.
$('scrub').addEventListener('input', async () => {
  if (!viewer.videos.length) return;
  viewer.scrubTo = Number($('scrub').value);
  if (viewer.scrubbing) return;
  viewer.scrubbing = true;
  pause();
  while (viewer.scrubTo !== null) {
    const target = viewer.scrubTo;
    viewer.scrubTo = null;
    await seek(target);
  }
  viewer.scrubbing = false;
  update();
});
$('seek-form').addEventListener('submit', (e) => {
  e.preventDefault();
  pause();
  seek(Number($('seek-frame').value));
});
$('confirm-delete').addEventListener('close', () => {
  if ($('confirm-delete').returnValue === 'delete') deleteEpisode();
});

(async () => {
  await loadDatasets();
  const params = new URLSearchParams(location.search);
  const repo = params.get('repo');
  if (repo && viewer.datasets.some((d) => d.repoId === repo)) {
    await openDataset(repo, Number(params.get('episode') || 0), Number(params.get('frame') || 0));
  }
  viewer.ready = true;
})();
