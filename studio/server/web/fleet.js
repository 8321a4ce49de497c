// The fleet as its admin sees it: nodes, the export queue, retries and
// drains. Polls /fleet/status every two seconds.
'use strict';

const $ = (id) => document.getElementById(id);

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text;
  row.appendChild(td);
  return td;
}

function button(td, label, action) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = label;
  b.addEventListener('click', async () => {
    b.disabled = true;
    await action();
    refresh();
  });
  td.appendChild(b);
}

async function post(path, body) {
  const res = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
  const answer = await res.json().catch(() => ({}));
  if (!res.ok) showError(answer.error || `${path}: ${res.status}`);
}

function showError(text) {
  $('fleet-error').textContent = text;
  $('fleet-error').hidden = !text;
}

function ago(seconds) {
  return seconds < 60 ? `${seconds} s ago` : seconds < 3600 ? `${Math.round(seconds / 60)} min ago` : `${Math.round(seconds / 3600)} h ago`;
}

function showNodes(nodes) {
  const body = $('nodes').tBodies[0];
  body.replaceChildren();
  for (const n of nodes) {
    const row = body.insertRow();
    for (const text of [n.name, n.host, n.pid, n.role, n.version, ago(n.lastSeenSeconds), n.job || '—']) cell(row, text);
    const last = cell(row, n.draining ? 'draining' : '');
    if (!n.draining && n.role !== 'serves, hands exports over') {
      button(last, 'Drain', () => post('/fleet/nodes/drain', { node: n.name }));
    }
  }
}

function jobRow(body, job, state, detail, retry) {
  const row = body.insertRow();
  for (const text of [job.job, job.repoId, job.userId, job.episodes, state, detail]) cell(row, text);
  const last = cell(row, '');
  if (retry) button(last, 'Retry', () => post('/fleet/jobs/retry', { job: job.job }));
}

function showJobs(jobs) {
  const body = $('jobs').tBodies[0];
  body.replaceChildren();
  for (const j of jobs.running) {
    const progress = j.progress ? `${j.progress.done} of ${j.progress.total} episodes, ` : '';
    const lease = j.leaseLeftSeconds >= 0 ? `lease ${j.leaseLeftSeconds} s left` : 'lease ran out: another node takes it over';
    jobRow(body, j, 'running', `${progress}on ${j.node}, ${lease}`, false);
  }
  for (const j of jobs.queued) jobRow(body, j, j.handingOver ? 'handing over' : 'queued', j.error || '', false);
  for (const j of jobs.failed) jobRow(body, j, 'failed', j.error || '', true);
  $('queue-summary').textContent =
    `${jobs.running.length} running, ${jobs.queued.length} waiting, ${jobs.failed.length} failed, ${jobs.doneToday} done today (${jobs.done} in all)`;
  $('retry-all').disabled = jobs.failed.length === 0;
}

async function refresh() {
  try {
    const res = await fetch('/fleet/status', { cache: 'no-store' });
    if (res.status === 404) throw new Error('This studio is no node of a fleet: it runs without --db and --store.');
    const status = await res.json();
    if (!res.ok) throw new Error(status.error || `the studio answered ${res.status}`);
    $('fleet-store').textContent = `Store: ${status.store}`;
    showNodes(status.nodes);
    showJobs(status.jobs);
    showError('');
  } catch (error) {
    showError(String(error.message || error));
  }
}

$('retry-all').addEventListener('click', async () => {
  await post('/fleet/jobs/retry', { all: true });
  refresh();
});
refresh();
setInterval(refresh, 2000);
