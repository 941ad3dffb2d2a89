// web_client.mjs - an HTTP client for the web host benchmarks, keeping its
// connections alive as a browser or an MCP client does.
//   node web_client.mjs latency <url> <calls> [<body file>]
//       the median round trip of <calls> requests one after another on one
//       connection, in seconds (a POST of the body when one is given)
//   node web_client.mjs rate <url> <clients> <seconds> [<body template file>]
//       requests per second of <clients> clients each sending its next
//       request when the last is answered; in a template, @N@ becomes a
//       number unique to the request
// Every answer must have status 200; anything else ends it with status 1.
import fs from 'node:fs';
import http from 'node:http';

const [mode, url, a, b, c] = process.argv.slice(2);
const agent = new http.Agent({ keepAlive: true, maxSockets: 64 });
const target = new URL(url);

function request(body) {
  return new Promise((resolve, reject) => {
    const headers = { Accept: 'application/json, text/event-stream' };
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      headers['Content-Length'] = Buffer.byteLength(body);
    }
    const req = http.request(target, { agent, method: body === undefined ? 'GET' : 'POST', headers }, (res) => {
      const parts = [];
      res.on('data', (d) => parts.push(d));
      res.on('end', () => {
        if (res.statusCode !== 200) reject(new Error(`status ${res.statusCode}: ${Buffer.concat(parts).toString().slice(0, 200)}`));
        else resolve(Buffer.concat(parts));
      });
    });
    req.on('error', reject);
    if (body !== undefined) req.write(body);
    req.end();
  });
}

async function latency(calls, bodyFile) {
  const body = bodyFile ? fs.readFileSync(bodyFile, 'utf8') : undefined;
  await request(body);  // the connection and the worker's first load
  const times = [];
  for (let i = 0; i < calls; i++) {
    const t = process.hrtime.bigint();
    await request(body);
    times.push(Number(process.hrtime.bigint() - t) / 1e9);
  }
  times.sort((x, y) => x - y);
  const m = times.length >> 1;
  return times.length % 2 ? times[m] : (times[m - 1] + times[m]) / 2;
}

async function rate(clients, seconds, templateFile) {
  const template = templateFile ? fs.readFileSync(templateFile, 'utf8') : undefined;
  let next = 0;
  let done = 0;
  const end = Date.now() + seconds * 1000;
  const start = process.hrtime.bigint();
  async function client() {
    while (Date.now() < end) {
      const n = next++;
      await request(template === undefined ? undefined : template.replaceAll('@N@', String(n)));
      done++;
    }
  }
  await Promise.all(Array.from({ length: clients }, client));
  return done / (Number(process.hrtime.bigint() - start) / 1e9);
}

try {
  const v = mode === 'latency' ? await latency(Number(a), b) : await rate(Number(a), Number(b), c);
  console.log(v.toFixed(6));
  agent.destroy();
} catch (e) {
  console.log(`failed: ${e.message}`);
  agent.destroy();
  process.exitCode = 1;
}
