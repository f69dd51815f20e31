// Runs @ghostery/adblocker on the filter-list benchmark's requests:
//   node compare_lists.mjs LISTS_DIR REQUESTS.tsv > decisions.txt
// One line per request: block or none; the timing per decision on stderr.
import { readFileSync } from 'node:fs';
import { FiltersEngine, Request } from '@ghostery/adblocker';

const [dir, requestsFile] = process.argv.slice(2);
const text = ['easylist.txt', 'easyprivacy.txt']
  .map((name) => readFileSync(`${dir}/${name}`, 'utf8')).join('\n');
let start = process.hrtime.bigint();
const engine = FiltersEngine.parse(text, { loadCosmeticFilters: false, enableOptimizations: true });
const buildMs = Number(process.hrtime.bigint() - start) / 1e6;
// Our request types under the names the other engine uses.
const types = { document: 'main_frame', subdocument: 'sub_frame' };
const lines = readFileSync(requestsFile, 'utf8').split('\n').filter((l) => l.length > 0);
const out = [];
const ns = [];
for (const line of lines) {
  const [url, sourceUrl, type] = line.split('\t');
  const request = Request.fromRawDetails({ url, sourceUrl, type: types[type] ?? type });
  start = process.hrtime.bigint();
  const { match } = engine.match(request);
  ns.push(Number(process.hrtime.bigint() - start));
  out.push(match ? 'block' : 'none');
}
process.stdout.write(out.join('\n') + '\n');
ns.sort((a, b) => a - b);
const at = (q) => (ns[Math.floor(ns.length * q)] / 1000).toFixed(2);
process.stderr.write(`other engine: ${lines.length} requests, built in ${buildMs.toFixed(0)} ms, ` +
  `median ${at(0.5)} us, p99 ${at(0.99)} us per decision (matching only)\n`);
