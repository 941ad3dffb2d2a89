// node_floor.mjs - the least work per call of a graph server written for
// Node.js that loads the graph file afresh for every call: a long-lived
// process that, for each request line on standard input, parses the request,
// reads the whole file and JSON.parses every line of it, then answers one
// line. No graph is built and no result written: whatever a real server
// does comes on top of this.
//
//   node bench/node_floor.mjs <graph file>  < requests.jsonl
import { readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';

const path = process.argv[2];
let out = '';
for await (const request of createInterface({ input: process.stdin, crlfDelay: Infinity })) {
  if (!request.trim()) continue;
  const id = JSON.parse(request).id ?? null;
  let text = '';
  try {
    text = readFileSync(path, 'utf8');
  } catch {
    // an absent file is an empty graph
  }
  let lines = 0;
  for (const line of text.split('\n')) {
    if (!line.trim()) continue;
    try {
      JSON.parse(line);
      lines++;
    } catch {
      // an unreadable line is kept aside by a real server; it costs the parse
    }
  }
  out = `{"jsonrpc":"2.0","id":${JSON.stringify(id)},"result":{"lines":${lines}}}\n`;
  process.stdout.write(out);
}
