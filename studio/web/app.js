// Operator app: answers the robot's WebRTC offer through the studio's
// signaling relay, shows the cameras, and sends the recording commands over
// the "control" data channel.
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
};
window.tessalineApp = app;

const $ = (id) => document.getElementById(id);

function log(text) {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  $('log').prepend(item);
}

async function getJson(path) {
  const res = await fetch(path, { cache: 'no-store' });
  if (!res.ok) throw new Error(`${path}: ${res.status}`);
  return res.json();
}

async function postJson(path, body) {
  const res = await fetch(path, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  });
  if (!res.ok) throw new Error(`${path}: ${res.status}`);
  return res.json();
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const userQuery = () => `userId=${encodeURIComponent(app.userId)}`;

function setConnection(text, kind) {
  const badge = $('connection');
  badge.textContent = text;
  badge.className = `badge ${kind || ''}`;
}

function channelOpen() {
  return app.channel && app.channel.readyState === 'open';
}

function refreshButtons() {
  for (const button of document.querySelectorAll('[data-needs-channel]')) button.disabled = !channelOpen();
  for (const button of $('camera-form').querySelectorAll('button')) button.disabled = !channelOpen();
}

function send(message) {
  if (!channelOpen()) return false;
  app.channel.send(JSON.stringify(message));
  app.sentCommands.push(message);
  log(`sent ${message.command}`);
  return true;
}

// ---- statuses and camera selection ----

function describeStatus(msg) {
  switch (msg.status) {
    case 'waiting': return msg.episode !== undefined ? `Waiting to start episode ${msg.episode}` : 'Waiting to start';
    case 'recording': return msg.retried ? 'Recording (episode restarted)' : `Recording episode ${msg.episode ?? ''}`.trim();
    case 'idle': return msg.completed ? `Episode ${msg.episode ?? ''} saved`.replace('  ', ' ') : 'Idle';
    case 'camera_selection': return 'Choose the cameras to record';
    default: return String(msg.status);
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
    label.append(box, document.createTextNode(name.replace('observation.images.', '')));
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
  if (msg.type === 'camera_names') {
    app.cameraNames = Array.isArray(msg.names) ? msg.names : [];
    labelVideos();
    return;
  }
  if (msg.status === undefined) return;
  app.statusLog.push(msg);
  $('status').textContent = describeStatus(msg);
  log(`status ${JSON.stringify(msg)}`);
  if (msg.status === 'camera_selection') showCameraSelection(msg.cameras, msg.selected);
}

// ---- video ----

function labelVideos() {
  app.videos.forEach((entry, i) => {
    const name = app.cameraNames[i] || `camera ${i + 1}`;
    entry.caption.textContent = name.replace('observation.images.', '');
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

// ---- negotiation ----

function robotGone(reason) {
  setConnection('robot disconnected', 'lost');
  log(reason);
  refreshButtons();
}

async function answerOffer(offer) {
  if (app.pc) app.pc.close();
  clearVideos();
  app.channel = null;
  app.offerId = offer.offerId;
  app.cameraNames = Array.isArray(offer.cameraNames) ? offer.cameraNames : [];
  const pc = new RTCPeerConnection({ iceServers: [] });
  app.pc = pc;
  setConnection('connecting…');
  log(`offer ${offer.offerId} from ${offer.hostname || 'the robot'}`);

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
    } catch { /* studio unreachable for a moment */ }
    await sleep(500);
  }
}

async function pollOffers() {
  for (;;) {
    if (app.userId) {
      try {
        const offer = await getJson(`/webrtc/offer?${userQuery()}`);
        if (offer.offerId && offer.offerId !== app.offerId && !offer.answered) await answerOffer(offer);
      } catch (error) {
        log(`signaling: ${error.message}`);
      }
    }
    await sleep(1000);
  }
}

// ---- controls ----

function setUser(name) {
  app.userId = name.trim();
  $('user-id').value = app.userId;
  if (app.userId) localStorage.setItem('tessaline.userId', app.userId);
  setConnection(app.userId ? 'waiting for the robot' : 'enter your user name');
}

$('user-form').addEventListener('submit', (e) => { e.preventDefault(); setUser($('user-id').value); });
$('start-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  // The task goes to the studio, which stores it with the episodes that follow.
  const task = $('task').value.trim() || 'teleoperated demonstration';
  try {
    await postJson('/sessions/task', { userId: app.userId, task });
  } catch (error) {
    log(`task not saved: ${error.message}`);
  }
  send({ command: 'start', repoId: $('repo-id').value.trim() });
});
$('camera-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const selected = [...$('camera-choices').querySelectorAll('input:checked')].map((box) => box.value);
  if (send({ command: 'select_cameras', selected })) $('camera-selection').hidden = true;
});
$('end-episode').addEventListener('click', () => send({ command: 'end_episode' }));
$('retry-episode').addEventListener('click', () => send({ command: 'retry_episode' }));
$('end-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const name = $('dataset-name').value.trim();
  send(name ? { command: 'end', datasetName: name } : { command: 'end' });
});

setUser(new URLSearchParams(location.search).get('user') || localStorage.getItem('tessaline.userId') || '');
// A browser on another computer signed in as one user: that user, fixed.
getJson('/access/whoami').then(({ user }) => {
  if (!user) return;
  setUser(user);
  $('user-id').readOnly = true;
  $('user-id').title = 'signed in to this studio as this user';
}).catch(() => {});
refreshButtons();
pollOffers();
