// Operator app: answers the robot's WebRTC offer through the studio's
// signaling relay, shows the cameras, sends the recording commands over the
// "control" data channel, and shows what is happening: the episode being
// recorded (time, frames the studio received, each joint live), the
// episodes saved, and the export at the end of the session.
'use strict';

const app = {
  userId: '',
  pc: null,
  channel: null,
  offerId: null,
  cameraNames: [],
  videos: [],
  statusLog: [],     // every status message received, in order (read by tests)
  sentCommands: [],  // every command sent, in order
  recording: false,
  episode: 0,        // the session's episode being or last recorded, from 1
  sessionEnding: false,
  liveCursor: 0,
  joints: null,      // {names, t, action, state} of the live plots
  plots: [],
  saved: [],
  datasetEpisodes: null,  // episodes the target dataset holds already
  exportRepo: null,
};
window.tessalineApp = app;

const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const userQuery = () => `userId=${encodeURIComponent(app.userId)}`;

function log(text) {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  $('log').prepend(item);
  while ($('log').children.length > 200) $('log').lastChild.remove();
}

// ---- the studio: every request goes through here ----------------------------
// A studio that stops answering is said once, and every poll waits longer
// and longer (up to 30 s) until it answers again, instead of asking every
// second.

const studio = { failures: 0, since: null };

function studioAnswered() {
  if (studio.failures === 0) return;
  log(`the studio answers again (after ${Math.round((Date.now() - studio.since) / 1000)} s)`);
  studio.failures = 0;
  studio.since = null;
  $('unreachable').hidden = true;
}

function studioSilent() {
  if (studio.failures === 0) studio.since = Date.now();
  studio.failures += 1;
  const wait = Math.round(pause(1000) / 1000);
  $('unreachable').textContent =
    `The studio does not answer (for ${Math.round((Date.now() - studio.since) / 1000)} s). Trying again every ${wait} s; ` +
    'the robot holds the frames it records meanwhile (in memory, then on its disk) and sends them when the studio ' +
    'answers; only if its disk fills up are newer frames lost, and the robot\'s terminal says how many.';
  $('unreachable').hidden = false;
  if (studio.failures === 1) log('the studio does not answer');
}

// How long a poll waits before asking again: `base`, longer while the studio is silent.
function pause(base) {
  return studio.failures ? Math.min(30000, base * 2 ** Math.min(studio.failures, 5)) : base;
}

async function call(path, options = {}) {
  let res;
  try {
    res = await fetch(path, { cache: 'no-store', ...options });
  } catch (error) {
    studioSilent();
    throw error;
  }
  studioAnswered();
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(body.error || `${path}: ${res.status}`);
  return body;
}

const getJson = (path) => call(path);
const postJson = (path, body) => call(path, {
  method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
});

// ---- connection, buttons and keys ---------------------------------------------

function setConnection(text, kind) {
  const badge = $('connection');
  badge.textContent = text;
  badge.className = `badge ${kind || ''}`;
}

function channelOpen() {
  return app.channel && app.channel.readyState === 'open';
}

function refreshButtons() {
  const open = channelOpen() && !app.sessionEnding;
  for (const button of document.querySelectorAll('[data-needs-channel]')) button.disabled = !open;
  for (const button of document.querySelectorAll('[data-while-recording]')) button.disabled = !open || !app.recording;
  $('start').disabled = !open || app.recording;
  for (const button of $('camera-form').querySelectorAll('button')) button.disabled = !channelOpen();
}

function send(message) {
  if (!channelOpen()) return false;
  app.channel.send(JSON.stringify(message));
  app.sentCommands.push(message);
  log(`you: ${message.command}`);
  return true;
}

// S, E and R do what the buttons do, unless a field has the keys.
document.addEventListener('keydown', (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey || event.target.closest('input, textarea, select, dialog')) return;
  const button = { s: 'start', e: 'end-episode', r: 'retry-episode' }[event.key.toLowerCase()];
  if (!button || $(button).disabled) return;
  event.preventDefault();
  $(button).click();
});

// ---- statuses: the robot's numbers, read one way ----------------------------
// "waiting" counts the episodes recorded so far; "recording" and "idle" name
// the episode, from 1 (as a capture sends them).

function describeStatus(msg) {
  switch (msg.status) {
    case 'waiting': {
      const ready = `Ready to record episode ${(Number(msg.episode) || 0) + 1}`;
      return typeof msg.message === 'string' ? `${msg.message}. ${ready}` : ready;
    }
    case 'recording':
      if (msg.approaching) return `Episode ${app.episode}: bringing the follower to the leader's pose…`;
      return msg.retried ? `Recording episode ${app.episode} again` : `Recording episode ${app.episode}`;
    case 'idle': return msg.completed ? `Episode ${app.episode} saved` : 'Idle';
    case 'camera_selection': return 'Choose the cameras to record';
    case 'error': return `Stopped: ${msg.message ?? 'the robot reported an error'}`;
    default: return String(msg.status);
  }
}

function onStatus(msg) {
  app.statusLog.push(msg);
  if (msg.status === 'recording' && !msg.retried && Number.isFinite(Number(msg.episode))) app.episode = Number(msg.episode);
  if (msg.status === 'idle' && Number.isFinite(Number(msg.episode))) app.episode = Number(msg.episode);
  const wasRecording = app.recording;
  app.recording = msg.status === 'recording';
  if (app.recording && (!wasRecording || msg.retried)) {
    resetPlots();
    $('quality').hidden = true;  // the numbers of the episode before stay until this one's come
  }
  $('recording').hidden = !app.recording;
  $('live').hidden = !app.recording && !app.joints;
  $('status').textContent = describeStatus(msg);
  log(`robot: ${$('status').textContent}`);
  if (msg.status === 'camera_selection') showCameraSelection(msg.cameras, msg.selected);
  if (msg.status === 'error') setConnection('robot stopped', 'lost');
  // After an episode is saved, the operator may say how it went.
  if (msg.status === 'idle' && msg.completed) {
    $('episode-label-text').textContent = `How did episode ${app.episode} go?`;
    $('episode-label').hidden = false;
  } else if (msg.status === 'recording') {
    $('episode-label').hidden = true;
  }
  refreshButtons();
}

async function labelEpisode(label) {
  try {
    const body = await postJson('/sessions/episodes/label', { userId: app.userId, label });
    $('episode-label-text').textContent = `Episode ${body.episode}: ${label === 'success' ? '✓ success' : '✗ failure'}`;
    log(`you: episode ${body.episode} labelled ${label}`);
  } catch (e) {
    $('episode-label-text').textContent = `Not labelled: ${e.message}`;
  }
}

function showCameraSelection(cameras, selected) {
  const choices = $('camera-choices');
  choices.replaceChildren();
  const chosen = new Set(Array.isArray(selected) ? selected : cameras);
  (Array.isArray(cameras) ? cameras : []).forEach((name, i) => {
    const label = document.createElement('label');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.value = name;
    box.id = `camera-${i}`;
    box.checked = chosen.has(name);
    label.append(box, document.createTextNode(cameraLabel(name)));
    choices.append(label);
  });
  $('camera-selection').hidden = false;
  refreshButtons();
  const first = choices.querySelector('input');
  if (first) first.focus();
}

function onControlMessage(text) {
  let msg;
  try {
    msg = JSON.parse(text);
  } catch {
    log(`unreadable message from the robot: ${text}`);
    return;
  }
  if (msg.type === 'quality') {
    showQuality(msg);
    return;
  }
  if (msg.type === 'camera_names') {
    app.cameraNames = Array.isArray(msg.names) ? msg.names : [];
    labelVideos();
    return;
  }
  if (msg.status !== undefined) onStatus(msg);
}

// ---- the episode's quality, as the robot measures it --------------------------
// Poor numbers are marked as the dataset viewer flags them: the loop under
// 90 % of its rate, a camera under 90 % of it or repeating over 5 % of its frames.

function showQuality(q) {
  const fps = Number(q.fps);
  const ticks = Number(q.ticks);
  if (!(fps > 0) || !Number.isFinite(ticks)) return;
  const part = (text, poor) => {
    const span = document.createElement('span');
    span.textContent = text;
    if (poor) span.className = 'poor';
    return span;
  };
  const parts = [
    part(`loop ${Number(q.rate).toFixed(1)} of ${fps} frames/s`, Number(q.rate) < 0.9 * fps),
    part(`${Number(q.late_ticks) || 0} late`, false),
    part(`${Number(q.skipped_ticks) || 0} skipped`, Number(q.skipped_ticks) > 0),
    part(`${Number(q.bus_retries) || 0} bus retries`, false),
  ];
  for (const [name, camera] of Object.entries(q.cameras && typeof q.cameras === 'object' ? q.cameras : {})) {
    const repeated = Number(camera.repeated) || 0;
    parts.push(part(`${cameraLabel(name)} ${Number(camera.fps).toFixed(1)} frames/s, ${repeated} repeated`,
      Number(camera.fps) < 0.9 * fps || repeated > 0.05 * ticks));
  }
  const line = $('quality');
  line.replaceChildren(...parts.flatMap((p, i) => (i ? [' · ', p] : [p])));
  line.hidden = false;
}

// ---- video ---------------------------------------------------------------------

// A camera as the robot names it: "observation.images.cam_front" is "front".
function cameraLabel(key) {
  return key.replace(/^observation\.images\.(cam_)?/, '');
}

function labelVideos() {
  app.videos.forEach((entry, i) => {
    const name = app.cameraNames[i] || `camera ${i + 1}`;
    entry.caption.textContent = cameraLabel(name);
    entry.video.setAttribute('aria-label', name);
    entry.video.dataset.camera = name;
  });
}

function addVideo(event) {
  $('no-video').hidden = true;
  const figure = document.createElement('figure');
  const video = document.createElement('video');
  video.autoplay = true;
  video.muted = true;
  video.playsInline = true;
  video.srcObject = event.streams[0] || new MediaStream([event.track]);
  const caption = document.createElement('figcaption');
  figure.append(video, caption);
  $('videos').append(figure);
  app.videos.push({ video, caption });
  labelVideos();
}

function clearVideos() {
  for (const entry of app.videos) entry.video.closest('figure').remove();
  app.videos = [];
  $('no-video').hidden = false;
}

// ---- what the studio receives while recording -----------------------------

const WINDOW_SECONDS = 10;

function resetPlots() {
  app.joints = null;
  for (const plot of app.plots) plot.destroy();
  app.plots = [];
  $('joint-plots').replaceChildren();
}

function formatTime(seconds) {
  const s = Math.max(0, Math.floor(seconds));
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function renderSaved(saved) {
  app.saved = saved;
  const list = $('saved');
  list.replaceChildren();
  if (!saved.length) {
    list.append(Object.assign(document.createElement('li'), { className: 'hint', textContent: 'none yet' }));
    return;
  }
  const target = targetDataset();
  saved.forEach((ep, i) => {
    const item = document.createElement('li');
    let text = `Episode ${i + 1} · ${ep.frames} frames · ${ep.seconds.toFixed(1)} s`;
    if (target && app.datasetEpisodes !== null) text += ` — episode ${app.datasetEpisodes + i} of ${target} once exported`;
    item.textContent = text;
    list.append(item);
  });
}

// Where this session's episodes go: the dataset name if one is typed, else the repository id.
function targetDataset() {
  return $('dataset-name').value.trim() || $('repo-id').value.trim();
}

// How many episodes the target dataset holds now, so saved episodes show their dataset numbers.
async function learnDatasetSize() {
  const target = targetDataset();
  if (!target || !app.userId) {
    app.datasetEpisodes = null;
    return;
  }
  try {
    const { datasets } = await getJson('/datasets');
    const found = datasets.find((d) => d.repoId === target);
    app.datasetEpisodes = found ? found.episodes : 0;
  } catch {
    app.datasetEpisodes = null;
  }
  renderSaved(app.saved);
}

function drawPlots() {
  const j = app.joints;
  if (!j || !j.t.length) return;
  const joints = j.action[0] ? j.action[0].length : 0;
  if (app.plots.length !== joints) {
    resetPlots();
    app.joints = j;
    for (let k = 0; k < joints; k += 1) {
      const box = document.createElement('div');
      box.className = 'joint-plot';
      $('joint-plots').append(box);
      const name = (j.names && j.names[k]) || `joint ${k + 1}`;
      app.plots.push(new uPlot({
        title: name,
        width: 280,
        height: 120,
        legend: { live: true },
        scales: { x: { time: false } },
        axes: [{ label: 's', size: 30 }, { size: 40 }],
        series: [{ label: 't', value: (u, v) => (v == null ? '' : `${v.toFixed(2)} s`) },
          { label: 'leader', stroke: '#2563eb', width: 1.5, value: (u, v) => (v == null ? '' : v.toFixed(1)) },
          { label: 'follower', stroke: '#dc2626', width: 1.5, dash: [4, 3], value: (u, v) => (v == null ? '' : v.toFixed(1)) }],
      }, [[], [], []], box));
    }
  }
  app.plots.forEach((plot, k) => plot.setData([j.t, j.action.map((a) => a[k]), j.state.map((s) => s[k])]));
}

async function pollLive() {
  for (;;) {
    if (app.userId && (app.recording || app.channel)) {
      try {
        const live = await getJson(`/sessions/live?${userQuery()}&since=${app.liveCursor}`);
        $('elapsed').textContent = formatTime(live.episode.seconds);
        $('frames').textContent = String(live.episode.frames);
        app.liveFrames = live.episode.frames;
        if (JSON.stringify(live.saved) !== JSON.stringify(app.saved)) renderSaved(live.saved);
        const s = live.samples;
        app.liveCursor = s.next;
        if (s.t.length && app.recording) {
          if (!app.joints) app.joints = { names: null, t: [], action: [], state: [] };
          if (Array.isArray(live.names)) app.joints.names = live.names.map((n) => String(n).replace(/\.pos$/, ''));
          const j = app.joints;
          j.t.push(...s.t);
          j.action.push(...s.action);
          j.state.push(...s.state);
          const latest = j.t[j.t.length - 1];
          while (j.t.length && j.t[0] < latest - WINDOW_SECONDS) {
            j.t.shift();
            j.action.shift();
            j.state.shift();
          }
          $('live').hidden = false;
          drawPlots();
        }
      } catch { /* said once, by call() */ }
    }
    await sleep(pause(250));
  }
}

// ---- negotiation -----------------------------------------------------------------

function robotGone(reason) {
  if (app.sessionEnding) {
    setConnection('session ended', '');
    $('status').textContent = 'Session ended';
  } else if ($('connection').textContent !== 'robot stopped') {
    setConnection('robot disconnected', 'lost');
  }
  app.recording = false;
  $('recording').hidden = true;
  $('episode-label').hidden = true;  // its episodes are on their way to the export, or kept apart
  log(reason);
  refreshButtons();
}

async function answerOffer(offer) {
  if (app.pc) app.pc.close();
  clearVideos();
  resetPlots();
  app.channel = null;
  app.offerId = offer.offerId;
  app.sessionEnding = false;
  app.episode = 0;
  app.liveCursor = 0;
  app.recording = false;
  $('recording').hidden = true;
  $('status').textContent = 'The robot is connecting';
  renderSaved([]);
  $('end-session').disabled = false;
  $('export').hidden = true;
  showKeptEpisodes();
  app.cameraNames = Array.isArray(offer.cameraNames) ? offer.cameraNames : [];
  const pc = new RTCPeerConnection({ iceServers: [] });
  app.pc = pc;
  setConnection('connecting…');
  log(`the robot (${offer.hostname || 'unnamed'}) offers a session`);

  pc.ontrack = addVideo;
  pc.ondatachannel = (event) => {
    const channel = event.channel;
    if (channel.label !== 'control') return;
    app.channel = channel;
    channel.onopen = () => { log('control channel open'); refreshButtons(); };
    channel.onclose = () => { if (app.pc === pc) robotGone('control channel closed'); };
    channel.onmessage = (e) => onControlMessage(e.data);
    refreshButtons();
  };
  pc.onicecandidate = (event) => {
    if (!event.candidate || !event.candidate.candidate) return;
    postJson('/webrtc/ice', {
      sender: 'browser', userId: app.userId, candidate: event.candidate.candidate,
      sdpMid: event.candidate.sdpMid, sdpMLineIndex: event.candidate.sdpMLineIndex,
    }).catch(() => {});
  };
  pc.onconnectionstatechange = () => {
    if (app.pc !== pc) return;
    const s = pc.connectionState;
    if (s === 'connected') setConnection('connected', 'connected');
    else if (s === 'failed' || s === 'closed' || s === 'disconnected') robotGone(`connection ${s}`);
    else setConnection(s);
  };

  await pc.setRemoteDescription({ type: 'offer', sdp: offer.sdp });
  await pc.setLocalDescription(await pc.createAnswer());
  await postJson('/webrtc/answer', {
    userId: app.userId, offerId: offer.offerId, sdp: pc.localDescription.sdp, type: pc.localDescription.type,
  });
  pollRobotCandidates(pc);
}

async function pollRobotCandidates(pc) {
  let since = 0;
  while (app.pc === pc && pc.connectionState !== 'closed') {
    try {
      const data = await getJson(`/webrtc/ice?${userQuery()}&receiver=browser&since=${since}`);
      for (const c of data.candidates || []) {
        try {
          await pc.addIceCandidate({ candidate: c.candidate, sdpMid: c.sdpMid, sdpMLineIndex: c.sdpMLineIndex });
        } catch { /* a candidate the browser cannot use */ }
      }
      if (data.nextSince !== undefined) since = data.nextSince;
    } catch { /* said once, by call() */ }
    await sleep(pause(500));
  }
}

async function pollOffers() {
  for (;;) {
    if (app.userId) {
      try {
        const offer = await getJson(`/webrtc/offer?${userQuery()}`);
        if (offer.offerId && offer.offerId !== app.offerId && !offer.answered) await answerOffer(offer);
      } catch { /* said once, by call() */ }
    }
    await sleep(pause(1000));
  }
}

// ---- the export at the end of a session -----------------------------------

function showExport(text, { link = null, failed = false } = {}) {
  $('export').hidden = false;
  const state = $('export-state');
  state.replaceChildren(document.createTextNode(text));
  state.className = failed ? 'failed' : '';
  if (link) {
    const a = document.createElement('a');
    a.href = link;
    a.textContent = 'Open it in the viewer';
    state.append(' ', a);
  }
  $('export-elsewhere').hidden = !failed;
}

// Episodes of an earlier session of this user that never ended are kept
// apart (the studio says so when the robot's next session starts): offered
// for export to a repository of their own.
const UNFINISHED = '(a session that did not end)';
async function showKeptEpisodes() {
  try {
    const s = await getJson(`/sessions/export-status?repoId=${encodeURIComponent(UNFINISHED)}&${userQuery()}`);
    if (s.state !== 'failed') return;
    app.exportRepo = UNFINISHED;
    showExport(`${s.error}.`, { failed: true });
  } catch { /* said once, by call() */ }
}

// The number of the repository's latest export, so the one about to start is told from it.
async function exportNumber(repo) {
  try {
    return (await getJson(`/sessions/export-status?repoId=${encodeURIComponent(repo)}&${userQuery()}`)).export || 0;
  } catch {
    return 0;
  }
}

async function followExport(repo, before) {
  app.exportRepo = repo;
  showExport(`Waiting for the robot to hand the session over for export to ${repo}…`);
  const begun = Date.now();
  while (app.exportRepo === repo) {
    try {
      const s = await getJson(`/sessions/export-status?repoId=${encodeURIComponent(repo)}&${userQuery()}`);
      if (s.state !== 'unknown' && !(s.export > before)) {
        // the last export's result, until the robot hands this session over
      } else if (s.state === 'running' && s.waiting) {
        showExport(`Exporting to ${repo}: ${s.waiting}…`);
      } else if (s.state === 'running') {
        showExport(s.episodesTotal ? `Exporting to ${repo}: ${s.episodesDone} of ${s.episodesTotal} episodes…` : `Exporting to ${repo}…`);
      } else if (s.state === 'done') {
        // With object storage, the export is followed until the dataset is published there.
        const exported = `Exported ${s.episodesAdded} episode${s.episodesAdded === 1 ? '' : 's'}, ${s.framesAdded} frames to ${repo}.`;
        const link = `/velquin/datasets?repo=${encodeURIComponent(repo)}`;
        const store = s.publish ? `${s.publish.store}/${repo}` : '';
        if (!s.publish || s.publish.state === 'published') {
          showExport(s.publish ? `${exported} Published to ${store}.` : exported, { link });
          log(`export of ${repo} done`);
          return;
        }
        showExport(s.publish.state === 'waiting'
          ? `${exported} Publishing to ${store} waits, and is tried again: ${s.publish.error}`
          : `${exported} Publishing to ${store}…`, { link });
      } else if (s.state === 'failed') {
        showExport(`The export to ${repo} failed: ${s.error} The episodes are kept: export them to another repository.`, { failed: true });
        log(`export of ${repo} failed`);
        return;
      } else if (!app.saved.length && Date.now() - begun > 5000) {
        showExport('Nothing was recorded in this session: there is nothing to export.');
        return;
      }
    } catch { /* said once, by call() */ }
    await sleep(pause(1000));
  }
}

// ---- controls ----------------------------------------------------------------------

// Why a repository id would be refused by a dataset hub (NAME or ORG/NAME of
// letters, digits, '-', '_' and '.'), or '' when it is fine.
function repoIdProblem(id) {
  const rule = ": use NAME or ORG/NAME, of letters, digits, '-', '_' and '.'";
  if (id.length > 96) return 'is longer than 96 characters';
  if ((id.match(/\//g) || []).length > 1) return `has more than one '/'${rule}`;
  const odd = id.match(/[^A-Za-z0-9_.\-/]/);
  if (odd) return `has ${odd[0] === ' ' ? 'a space' : `'${odd[0]}'`}${rule}`;
  if (/--|\.\./.test(id)) return 'has "--" or "..", which are not allowed';
  if (id.endsWith('.git')) return 'ends in ".git", which is not allowed';
  for (const part of id.split('/')) {
    if (!part) return `has an empty part${rule}`;
    if (!/^\w/.test(part) || !/\w$/.test(part)) {
      return "has a part beginning or ending with '-' or '.': each part begins and ends with a letter, a digit or '_'";
    }
  }
  return '';
}

// The field says at once why its repository id would be refused, and its
// form is not sent until it is fixed.
function checkRepoField(field) {
  const id = $(field).value.trim();
  const problem = id ? repoIdProblem(id) : '';
  $(field).setCustomValidity(problem ? `"${id}" ${problem}` : '');
  $(`${field}-problem`).textContent = problem ? `"${id}" ${problem}` : '';
  $(`${field}-problem`).hidden = !problem;
  return !problem;
}

// The name the operator typed is remembered for the next visit; one that
// came with a link (?user=) holds for this tab only, so no other site can
// choose it by linking here.
function setUser(name, remember = true) {
  app.userId = name.trim();
  $('user-id').value = app.userId;
  if (app.userId && remember) localStorage.setItem('tessaline.userId', app.userId);
  setConnection(app.userId ? 'waiting for the robot' : 'enter your user name');
}

$('user-form').addEventListener('submit', (e) => { e.preventDefault(); setUser($('user-id').value); });
$('start-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  if ($('start').disabled || !checkRepoField('repo-id')) return;
  // The task goes to the studio, which stores it with the episodes that follow.
  const task = $('task').value.trim() || 'teleoperated demonstration';
  try {
    await postJson('/sessions/task', { userId: app.userId, task });
  } catch (error) {
    log(`task not saved: ${error.message}`);
  }
  send({ command: 'start', repoId: $('repo-id').value.trim() });
  learnDatasetSize();
});
$('label-success').addEventListener('click', () => labelEpisode('success'));
$('label-failure').addEventListener('click', () => labelEpisode('failure'));
$('camera-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const selected = [...$('camera-choices').querySelectorAll('input:checked')].map((box) => box.value);
  if (send({ command: 'select_cameras', selected })) $('camera-selection').hidden = true;
});
$('end-episode').addEventListener('click', () => send({ command: 'end_episode' }));
$('retry-episode').addEventListener('click', () => send({ command: 'retry_episode' }));
$('end-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  if ($('end-session').disabled || !checkRepoField('dataset-name')) return;
  // The placeholder's promise: an empty dataset name means the repository id.
  const name = targetDataset();
  app.sessionEnding = true;
  refreshButtons();
  const before = name ? await exportNumber(name) : 0;
  if (!send(name ? { command: 'end', datasetName: name } : { command: 'end' })) {
    app.sessionEnding = false;
    refreshButtons();
    return;
  }
  if (name) followExport(name, before);
  else showExport('The robot names the dataset: see the Datasets page once it is exported.');
});
$('export-elsewhere').addEventListener('submit', async (e) => {
  e.preventDefault();
  const repo = $('other-repo').value.trim();
  if (!repo || !checkRepoField('other-repo')) return;
  try {
    const before = await exportNumber(repo);
    // Only the episodes whose export failed move, not other failed sessions.
    await postJson('/sessions/export/retry', { userId: app.userId, repoId: repo, fromRepoId: app.exportRepo || repo });
    followExport(repo, before);
  } catch (error) {
    showExport(`Not exported to ${repo}: ${error.message}`, { failed: true });
  }
});
for (const field of ['repo-id', 'dataset-name']) $(field).addEventListener('change', learnDatasetSize);
for (const field of ['repo-id', 'dataset-name', 'other-repo']) $(field).addEventListener('input', () => checkRepoField(field));

const linkedUser = new URLSearchParams(location.search).get('user');
if (linkedUser) setUser(linkedUser, false);
else setUser(localStorage.getItem('tessaline.userId') || '');
// A browser on another computer signed in as one user: that user, fixed.
getJson('/access/whoami').then(({ user }) => {
  if (!user) return;
  setUser(user);
  $('user-id').readOnly = true;
  $('user-id').title = 'signed in to this studio as this user';
}).catch(() => {});
refreshButtons();
pollOffers();
pollLive();
