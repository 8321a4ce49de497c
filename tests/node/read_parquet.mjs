// Reads a Parquet file with two independent readers, hyparquet and DuckDB,
// and prints what each saw as one JSON object: column types (DuckDB's
// DESCRIBE), rows from each (numbers as plain JSON numbers, bigints as
// numbers) and the footer's key/value metadata.
//   node read_parquet.mjs FILE
import { readFileSync } from 'node:fs';
import { parquetMetadata, parquetReadObjects } from 'hyparquet';
import { DuckDBInstance } from '@duckdb/node-api';

const file = process.argv[2];
const plain = (v) => (typeof v === 'bigint' ? Number(v) : Array.isArray(v) ? v.map(plain) : v);
const bytes = readFileSync(file);
const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
const metadata = parquetMetadata(buffer);
const hyRows = (await parquetReadObjects({ file: buffer })).map((r) =>
  Object.fromEntries(Object.entries(r).map(([k, v]) => [k, plain(v)])));

const db = await DuckDBInstance.create(':memory:');
const conn = await db.connect();
const quoted = `'${file.replaceAll("'", "''")}'`;
const describe = await conn.runAndReadAll(`DESCRIBE SELECT * FROM read_parquet(${quoted})`);
const types = Object.fromEntries(describe.getRowObjects().map((r) => [r.column_name, r.column_type]));
const rows = await conn.runAndReadAll(`SELECT * FROM read_parquet(${quoted})`);
const duckRows = rows.getRowObjectsJson();

console.log(JSON.stringify({
  types,
  hyparquet: hyRows,
  duckdb: duckRows,
  rowGroups: metadata.row_groups.length,
  keyValue: Object.fromEntries((metadata.key_value_metadata ?? []).map((kv) => [kv.key, kv.value])),
}));
