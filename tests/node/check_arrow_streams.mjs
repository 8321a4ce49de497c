// Reads every NAME.arrows in a directory with the apache-arrow package and
// compares it with NAME.json, written by the C++ side from what it sent.
// Prints one line per mismatch and a closing count; exits non-zero on any.
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { tableFromIPC, Type, Precision } from 'apache-arrow';

function typeText(t) {
  switch (t.typeId) {
    case Type.Float:
      return t.precision === Precision.DOUBLE ? 'double' : `float(precision ${t.precision})`;
    case Type.Bool: return 'bool';
    case Type.Utf8: return 'string';
    case Type.Binary: return 'binary';
    case Type.List: return `list<item: ${typeText(t.children[0].type)}>`;
    default: return `unexpected type ${Type[t.typeId]}`;
  }
}

function checksum(bytes) {
  let sum = 0;
  for (const b of bytes) sum = (sum + b) >>> 0;
  return sum;
}

function cellValue(type, value) {
  if (value === null) return null;
  if (type.typeId === Type.Binary) return { length: value.length, checksum: checksum(value) };
  if (type.typeId === Type.List) return Array.from(value.toArray());
  return value;
}

const dir = process.argv[2];
const names = readdirSync(dir).filter((f) => f.endsWith('.arrows')).sort();
let failures = 0;
for (const name of names) {
  const expected = JSON.parse(readFileSync(join(dir, name.replace('.arrows', '.json')), 'utf8'));
  const table = tableFromIPC(readFileSync(join(dir, name)));
  const fields = table.schema.fields.map((f) => ({ name: f.name, type: typeText(f.type), nullable: f.nullable }));
  const problems = [];
  if (JSON.stringify(fields) !== JSON.stringify(expected.fields)) {
    problems.push(`schema ${JSON.stringify(fields)} != ${JSON.stringify(expected.fields)}`);
  }
  if (table.numRows !== expected.rows) problems.push(`rows ${table.numRows} != ${expected.rows}`);
  for (const f of table.schema.fields) {
    const got = cellValue(f.type, table.getChild(f.name).get(0));
    const want = expected.values[f.name];
    if (JSON.stringify(got) !== JSON.stringify(want)) {
      problems.push(`${f.name}: ${JSON.stringify(got)} != ${JSON.stringify(want)}`);
    }
  }
  for (const p of problems) console.log(`${name}: ${p}`);
  failures += problems.length ? 1 : 0;
}
console.log(`${names.length - failures} passed, ${failures} failed`);
process.exit(failures || names.length === 0 ? 1 : 0);
