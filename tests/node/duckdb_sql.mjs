// Runs SQL statements in DuckDB, an independent writer of Parquet files
// (COPY ... TO ... (FORMAT parquet, ...)); prints the last statement's rows
// as JSON.
//   node duckdb_sql.mjs "STATEMENT" ["STATEMENT" ...]
import { DuckDBInstance } from '@duckdb/node-api';

const db = await DuckDBInstance.create(':memory:');
const conn = await db.connect();
let last = [];
for (const sql of process.argv.slice(2)) last = (await conn.runAndReadAll(sql)).getRowObjectsJson();
console.log(JSON.stringify(last));
