// Reads an exported dataset the way training code depends on it, with
// independent readers (hyparquet and DuckDB from npm, ffprobe from Debian's
// ffmpeg), checks the format's rules and prints one JSON object: the
// problems found (empty when the dataset is sound), info.json, the
// episodes, every frame (action, state, task text) and per camera the
// number of video frames.
//   node read_dataset.mjs DATASET_DIR
import { existsSync, readdirSync, readFileSync } from 'node:fs';
import { join, relative } from 'node:path';
import { execFileSync } from 'node:child_process';
import { parquetMetadata, parquetReadObjects } from 'hyparquet';
import { DuckDBInstance } from '@duckdb/node-api';

export async function readDataset(dir) {
  const problems = [];
  const check = (ok, text) => { if (!ok) problems.push(text); };
  const plain = (v) => (typeof v === 'bigint' ? Number(v) : Array.isArray(v) ? v.map(plain) : v);
  const files = (sub, ext) => {
    const root = join(dir, sub);
    if (!existsSync(root)) return [];
    return readdirSync(root).filter((c) => c.startsWith('chunk-')).sort().flatMap((c) =>
      readdirSync(join(root, c)).filter((f) => f.endsWith(ext)).sort().map((f) => join(root, c, f)));
  };
  const hyRead = async (file) => {
    const bytes = readFileSync(file);
    const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
    const rows = await parquetReadObjects({ file: buffer });
    return { rows: rows.map((r) => Object.fromEntries(Object.entries(r).map(([k, v]) => [k, plain(v)]))), metadata: parquetMetadata(buffer) };
  };

  const info = JSON.parse(readFileSync(join(dir, 'meta', 'info.json'), 'utf8'));
  const stats = JSON.parse(readFileSync(join(dir, 'meta', 'stats.json'), 'utf8'));
  check(info.codebase_version === 'v3.0', `codebase_version ${info.codebase_version}`);
  const fps = info.fps;
  const cameras = Object.keys(info.features).filter((k) => info.features[k].dtype === 'video');

  // Tasks: a pandas frame indexed by the task text.
  const tasksFile = await hyRead(join(dir, 'meta', 'tasks.parquet'));
  const pandas = JSON.parse((tasksFile.metadata.key_value_metadata ?? []).find((kv) => kv.key === 'pandas')?.value ?? '{}');
  check(JSON.stringify(pandas.index_columns) === '["task"]', 'tasks.parquet has no pandas index on "task"');
  const tasks = tasksFile.rows.sort((a, b) => a.task_index - b.task_index).map((r) => r.task);
  check(tasks.length === info.total_tasks, `total_tasks ${info.total_tasks}, tasks.parquet has ${tasks.length}`);

  // Data rows through both readers.
  const db = await DuckDBInstance.create(':memory:');
  const conn = await db.connect();
  const dataFiles = files('data', '.parquet');
  const frames = [];
  const numbered = (kind, chunk, file, ext) =>
    join(dir, kind, `chunk-${String(chunk).padStart(3, '0')}`, `file-${String(file).padStart(3, '0')}${ext}`);
  const fileOf = [];  // per row, the data file it is in
  for (const f of dataFiles) {
    const rows = (await hyRead(f)).rows;
    frames.push(...rows);
    fileOf.push(...rows.map(() => f));
  }
  const glob = `'${join(dir, 'data', '*', '*.parquet').replaceAll("'", "''")}'`;
  const types = Object.fromEntries((await conn.runAndReadAll(`DESCRIBE SELECT * FROM read_parquet(${glob})`))
    .getRowObjects().map((r) => [r.column_name, r.column_type]));
  const expected = { action: 'FLOAT[]', 'observation.state': 'FLOAT[]', timestamp: 'FLOAT', frame_index: 'BIGINT',
    episode_index: 'BIGINT', index: 'BIGINT', task_index: 'BIGINT' };
  check(JSON.stringify(types) === JSON.stringify(expected), `data columns ${JSON.stringify(types)}`);
  const duckCount = Number((await conn.runAndReadAll(`SELECT count(*) AS n FROM read_parquet(${glob})`)).getRowObjects()[0].n);
  check(duckCount === frames.length, `DuckDB sees ${duckCount} rows, hyparquet ${frames.length}`);
  check(frames.length === info.total_frames, `total_frames ${info.total_frames}, data has ${frames.length}`);
  frames.forEach((r, i) => check(r.index === i, `row ${i} has index ${r.index}`));

  // Episodes. The field's loader reads every episodes file as one table:
  // files whose columns differ make the whole dataset unreadable.
  const episodes = [];
  for (const f of files(join('meta', 'episodes'), '.parquet')) episodes.push(...(await hyRead(f)).rows);
  try {
    await conn.runAndReadAll(`SELECT count(*) FROM read_parquet('${join(dir, 'meta', 'episodes', '*', '*.parquet').replaceAll("'", "''")}')`);
  } catch (error) {
    problems.push(`the episodes files do not read as one table: ${error.message}`);
  }
  check(episodes.length === info.total_episodes, `total_episodes ${info.total_episodes}, episodes has ${episodes.length}`);
  const probes = {};
  for (const [e, ep] of episodes.entries()) {
    check(ep.episode_index === e, `episode row ${e} is episode ${ep.episode_index}`);
    const rows = frames.slice(ep.dataset_from_index, ep.dataset_to_index);
    check(rows.length === ep.length && ep.length > 0, `episode ${e}: length ${ep.length}, rows ${rows.length}`);
    const dataFile = numbered('data', ep['data/chunk_index'], ep['data/file_index'], '.parquet');
    check(fileOf.slice(ep.dataset_from_index, ep.dataset_to_index).every((f) => f === dataFile),
      `episode ${e}: rows outside ${dataFile}`);
    ep.files = [dataFile];
    rows.forEach((r, i) => {
      check(r.episode_index === e && r.frame_index === i, `episode ${e} row ${i}: ${r.episode_index}/${r.frame_index}`);
      // float32, as lerobot stores it: the nearest float to i / fps.
      check(r.timestamp === Math.fround(i / fps), `episode ${e} frame ${i}: timestamp ${r.timestamp}`);
      check(r.action.length === info.features.action.shape[0], `episode ${e} frame ${i}: action of ${r.action.length}`);
      check(tasks[r.task_index] !== undefined && ep.tasks.includes(tasks[r.task_index]), `episode ${e} frame ${i}: task`);
    });
    for (const cam of cameras) {
      const file = numbered(join('videos', cam), ep[`videos/${cam}/chunk_index`], ep[`videos/${cam}/file_index`], '.mp4');
      ep.files.push(file);
      if (!probes[file]) {
        const out = JSON.parse(execFileSync('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries',
          'stream=codec_name,time_base,r_frame_rate,pix_fmt,width,height:frame=pts', '-of', 'json', file]).toString());
        const [num, den] = out.streams[0].time_base.split('/').map(Number);
        probes[file] = { stream: out.streams[0], times: out.frames.map((fr) => (fr.pts * num) / den) };
        check(out.streams[0].r_frame_rate === `${fps}/1`, `${file}: frame rate ${out.streams[0].r_frame_rate}`);
        check(out.streams[0].pix_fmt === 'yuv420p', `${file}: ${out.streams[0].pix_fmt}`);
        const codec = info.features[cam].info['video.codec'];
        check(out.streams[0].codec_name === codec, `${file}: ${out.streams[0].codec_name}, info says ${codec}`);
        // Training stacks a camera's frames: every file the size features.shape says.
        const [height, width] = info.features[cam].shape;
        check(out.streams[0].width === width && out.streams[0].height === height,
          `${file}: ${out.streams[0].width}x${out.streams[0].height}, features.shape says ${width}x${height}`);
        // The settings the field's tools encode with again must be the codec's own.
        const preset = info.features[cam].info['video.preset'];
        check(codec !== 'h264' || typeof preset === 'string', `${cam}: an h264 video with the preset ${JSON.stringify(preset)}`);
      }
      const from = ep[`videos/${cam}/from_timestamp`];
      check(Math.abs(ep[`videos/${cam}/to_timestamp`] - (from + ep.length / fps)) < 1e-9, `episode ${e} ${cam}: to_timestamp`);
      rows.forEach((r) => {
        const t = from + r.timestamp;
        const nearest = probes[file].times.reduce((best, p) => (Math.abs(p - t) < Math.abs(best - t) ? p : best), Infinity);
        check(Math.abs(nearest - t) <= 1e-4, `episode ${e} ${cam} frame ${r.frame_index}: no video frame at ${t}`);
      });
    }
  }

  // Statistics of every non-text feature, in their shapes.
  for (const [name, feature] of Object.entries(info.features)) {
    const s = stats[name];
    check(s !== undefined, `no stats for ${name}`);
    if (!s) continue;
    const sig = (v) => (Array.isArray(v) ? `[${v.map(sig).join(',')}]` : 'x');
    const shape = feature.dtype === 'video' ? '[[[x]],[[x]],[[x]]]' : `[${Array(feature.shape[0]).fill('x').join(',')}]`;
    for (const key of ['min', 'max', 'mean', 'std', 'q01', 'q10', 'q50', 'q90', 'q99']) {
      check(sig(s[key]) === shape, `stats ${name}/${key} has shape ${JSON.stringify(s[key])}`);
    }
    check(Array.isArray(s.count) && s.count.length === 1, `stats ${name}/count`);
  }

  return {
    problems,
    info,
    tasks,
    episodes: episodes.map((ep) => ({ episode_index: ep.episode_index, length: ep.length, tasks: ep.tasks,
      files: ep.files.map((f) => relative(dir, f)) })),
    frames: frames.map((r) => ({ episode_index: r.episode_index, frame_index: r.frame_index, action: r.action,
      state: r['observation.state'], task: tasks[r.task_index] })),
    videoFrames: Object.fromEntries(Object.entries(probes).map(([f, p]) => [f, p.times.length])),
    codec: Object.values(probes)[0]?.stream.codec_name,
  };
}

if (process.argv[1] && process.argv[1].endsWith('read_dataset.mjs')) {
  console.log(JSON.stringify(await readDataset(process.argv[2])));
}
