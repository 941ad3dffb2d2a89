// Interop with real MCP clients from npm, each over its stdio transport
// (starting `plugin_memory --mcp`) and over its Streamable HTTP transport
// (the /mcp endpoint of the real web host, scripts/host.sh, with a
// password), on a fresh graph file:
//  - the TypeScript SDK 1.x (@modelcontextprotocol/sdk), which speaks
//    2025-11-25 with the initialize handshake;
//  - the same SDK as of 1.12.3 (installed as mcp-sdk-1-12), whose newest
//    revision is 2025-03-26 and which refuses a server answering any other;
//  - the 2.x client (@modelcontextprotocol/client) in its three modes:
//    "legacy" (the initialize handshake), "auto" (server/discover first,
//    which this server answers, so it speaks 2026-07-28) and pinned to
//    2026-07-28 (stateless, _meta on every request);
//  - and the Inspector's command-line mode.
// The clients check every answer against the protocol's schemas.
//
//   PLUGIN_MEMORY_EXE=build/plugin_memory node --test tests/js/mcp_sdk.test.mjs
//   PLUGIN_MEMORY_SDK_TRANSPORTS=stdio ...   the stdio transport only
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import Ajv from 'ajv';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import { CallToolResultSchema } from '@modelcontextprotocol/sdk/types.js';
import { Client as Client112 } from 'mcp-sdk-1-12/client/index.js';
import { StdioClientTransport as StdioTransport112 } from 'mcp-sdk-1-12/client/stdio.js';
import { StreamableHTTPClientTransport as HttpTransport112 } from 'mcp-sdk-1-12/client/streamableHttp.js';
import { Client as Client2, StreamableHTTPClientTransport as HttpTransport2 } from '@modelcontextprotocol/client';
import { StdioClientTransport as StdioTransport2 } from '@modelcontextprotocol/client/stdio';
import { startHost } from './lib/host.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const SOURCE = process.env.PLUGIN_MEMORY_SOURCE || path.resolve(HERE, '../..');
const EXE = process.env.PLUGIN_MEMORY_EXE || path.join(SOURCE, 'build/plugin_memory');
const CATALOGUE = JSON.parse(fs.readFileSync(path.join(SOURCE, 'src/tools/catalogue.json'), 'utf8'));

// A fresh directory with the graph file and a home of its own, so that
// neither the server nor the Inspector touches the real home.
function tempHome() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pm-sdk-'));
  fs.mkdirSync(path.join(dir, 'home'));
  return { dir, home: path.join(dir, 'home'), graph: path.join(dir, 'memory.jsonl') };
}

const PASSWORD = 'b34rer pass';
const CLIENT_INFO = { name: 'plugin-memory-interop', version: '1.0.0' };

// The clients: how to make one, its transports, and the revision and era it
// must end up speaking with this server (a client without an era reports
// neither: the revision is the one the server's initialize answer names).
// A 2025-03-26 session has no titles and no structuredContent (over HTTP,
// where that client sends no MCP-Protocol-Version, only initialize is
// answered by its revision).
const SDK1 = { Stdio: StdioClientTransport, Http: StreamableHTTPClientTransport };
const SDK112 = { Stdio: StdioTransport112, Http: HttpTransport112 };
const CLIENT2 = { Stdio: StdioTransport2, Http: HttpTransport2 };
const CLIENTS = [
  { name: '@modelcontextprotocol/sdk 1.32.2', ...SDK1, version: '2025-11-25',
    make: () => new Client(CLIENT_INFO) },
  { name: '@modelcontextprotocol/sdk 1.12.3', ...SDK112, version: '2025-03-26', untitled: true,
    make: () => new Client112(CLIENT_INFO) },
  { name: '@modelcontextprotocol/client 2.4.0, legacy', ...CLIENT2, version: '2025-11-25', era: 'legacy',
    make: () => new Client2(CLIENT_INFO, { versionNegotiation: { mode: 'legacy' } }) },
  { name: '@modelcontextprotocol/client 2.4.0, auto', ...CLIENT2, version: '2026-07-28', era: 'modern',
    make: () => new Client2(CLIENT_INFO, { versionNegotiation: { mode: 'auto' } }) },
  { name: '@modelcontextprotocol/client 2.4.0, 2026-07-28', ...CLIENT2, version: '2026-07-28', era: 'modern',
    make: () => new Client2(CLIENT_INFO, { versionNegotiation: { mode: { pin: '2026-07-28' } } }) },
];

// The two ways to the server: each opens a transport of the client's kind
// on a fresh graph file.
const TRANSPORTS = [
  {
    name: 'stdio',
    async open(kind) {
      const t = tempHome();
      let stderr = '';
      const transport = recorded(new kind.Stdio({
        command: EXE,
        args: ['--mcp'],
        env: { PATH: process.env.PATH, HOME: t.home, MEMORY_FILE_PATH: t.graph },
        stderr: 'pipe',
      }));
      transport.stderr?.on('data', (d) => { stderr += d; });
      return { transport, graph: t.graph, stderr: () => stderr, close: () => fs.rmSync(t.dir, { recursive: true, force: true }) };
    },
  },
  {
    name: 'Streamable HTTP',
    async open(kind) {
      const host = await startHost({ password: PASSWORD });
      const transport = recorded(new kind.Http(new URL(`${host.origin}/mcp`),
        { requestInit: { headers: { Authorization: `Bearer ${PASSWORD}` } } }));
      return { transport, graph: host.graph, host, close: () => host.stop() };
    },
  },
];
// The transport, recording every message it hands its client in seen.
function recorded(transport) {
  const seen = [];
  let handler;
  Object.defineProperty(transport, 'onmessage', {
    configurable: true,
    get: () => handler && ((message, extra) => { seen.push(message); handler(message, extra); }),
    set: (h) => { handler = h; },
  });
  transport.seen = seen;
  return transport;
}
const httpTransport = (origin, headers) =>
  new StreamableHTTPClientTransport(new URL(`${origin}/mcp`), { requestInit: { headers } });

// PLUGIN_MEMORY_SDK_TRANSPORTS=stdio runs the clients over the transports
// named only (comma-separated): the Windows executable under Wine is tried
// over stdio, and the web host, whose hooks would run even for suites whose
// tests a name pattern skips, is then not started at all.
const ONLY = process.env.PLUGIN_MEMORY_SDK_TRANSPORTS;
const USED = TRANSPORTS.filter((via) => !ONLY || ONLY.split(',').includes(via.name));

for (const kind of CLIENTS) for (const via of USED) describe(`${kind.name} over ${via.name}`, () => {
  let t, client;

  before(async () => {
    t = await via.open(kind);
    client = kind.make();
    await client.connect(t.transport);  // initialize (and notifications/initialized), or server/discover
  });

  after(async () => {
    await client?.close();
    await t?.close();
  });

  test(`speaks ${kind.version}`, () => {
    if (kind.era) {
      assert.equal(client.getNegotiatedProtocolVersion(), kind.version);
      assert.equal(client.getProtocolEra(), kind.era);
    } else {
      const answer = t.transport.seen.find((m) => m.result?.protocolVersion);
      assert.equal(answer?.result.protocolVersion, kind.version);
    }
  });

  test('the server names itself and its capabilities', () => {
    assert.deepEqual(client.getServerVersion(), kind.untitled
      ? { name: 'memory-server', version: '1.0.0' }
      : { name: 'memory-server', title: 'Knowledge Graph Memory', version: '1.0.0' });
    const caps = client.getServerCapabilities();
    assert.deepEqual(caps.tools, { listChanged: false });
    assert.deepEqual(caps.resources, { subscribe: false, listChanged: false });
  });

  if (kind.era !== 'modern') test('ping', async () => {
    assert.deepEqual(await client.ping(), {});
  });

  test('tools/list gives the nine tools with input schemas that compile', async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((x) => x.name), CATALOGUE.map((x) => x.name));
    assert.equal(tools.length, 9);
    const ajv = new Ajv({ strict: false });
    for (const tool of tools) {
      assert.equal(tool.inputSchema.type, 'object', tool.name);
      ajv.compile(tool.inputSchema);
    }
  });

  // Every tool once, in an order where each finds what it works on; each
  // result is parsed with the SDK's CallToolResult schema, and its data is
  // its text (the same as its structuredContent where it has one).
  const calls = [
    ['create_entities', { entities: [
      { name: 'Ada', entityType: 'person', observations: ['wrote the first program'] },
      { name: 'Engine', entityType: 'machine', observations: ['analytical'] },
    ] }, (d) => assert.equal(d.entities.length, 2)],
    ['create_relations', { relations: [{ from: 'Ada', to: 'Engine', relationType: 'programmed' }] },
      (d) => assert.equal(d.relations.length, 1)],
    ['add_observations', { observations: [{ entityName: 'Ada', contents: ['born 1815'] }] },
      (d) => assert.deepEqual(d.results[0].addedObservations, ['born 1815'])],
    ['read_graph', {}, (d) => {
      assert.equal(d.entities.length, 2);
      assert.equal(d.relations.length, 1);
    }],
    ['search_nodes', { query: 'ADA' }, (d) => assert.equal(d.entities[0].name, 'Ada')],
    ['open_nodes', { names: ['Engine'] }, (d) => assert.equal(d.entities[0].name, 'Engine')],
    ['delete_observations', { deletions: [{ entityName: 'Ada', observations: ['born 1815'] }] }, () => {}],
    ['delete_relations', { relations: [{ from: 'Ada', to: 'Engine', relationType: 'programmed' }] }, () => {}],
    ['delete_entities', { entityNames: ['Engine'] }, () => {}],
  ];
  test('each of the nine tools answers a valid CallToolResult', async () => {
    assert.deepEqual(calls.map((c) => c[0]).sort(), CATALOGUE.map((x) => x.name).sort());
    for (const [name, args, check] of calls) {
      const r = CallToolResultSchema.parse(await client.callTool({ name, arguments: args }));
      assert.equal(r.isError, false, `${name}: ${JSON.stringify(r.content)}`);
      assert.equal(r.content[0].type, 'text');
      const data = JSON.parse(r.content[0].text);
      if (kind.untitled && via.name === 'stdio') assert.equal(r.structuredContent, undefined, name);
      else assert.deepEqual(data, r.structuredContent, name);
      check(data);
    }
    const lines = fs.readFileSync(t.graph, 'utf8').trim().split('\n').map((l) => JSON.parse(l));
    assert.deepEqual(lines, [{ type: 'entity', name: 'Ada', entityType: 'person', observations: ['wrote the first program'] }]);
  });

  test('a refused call is a valid result with isError', async () => {
    const r = CallToolResultSchema.parse(await client.callTool({ name: 'open_nodes', arguments: {} }));
    assert.equal(r.isError, true);
    assert.equal(r.content[0].text, 'Missing required parameter: names');
  });

  test('an unknown tool is a JSON-RPC error', async () => {
    await assert.rejects(client.callTool({ name: 'no_such_tool', arguments: {} }),
      (e) => e.code === -32602 && /no_such_tool/.test(e.message));
  });

  test('the graph resource is listed and read', async () => {
    const { resources } = await client.listResources();
    assert.deepEqual(resources.map((r) => r.uri), ['memory://knowledge-graph']);
    if (kind.untitled && via.name === 'stdio') assert.equal(resources[0].title, undefined);
    assert.deepEqual((await client.listResourceTemplates()).resourceTemplates, []);
    const { contents } = await client.readResource({ uri: 'memory://knowledge-graph' });
    assert.equal(contents.length, 1);
    assert.equal(contents[0].mimeType, 'application/json');
    const g = JSON.parse(contents[0].text);
    assert.deepEqual(g.entities.map((e) => e.name), ['Ada']);
    assert.deepEqual(g.relations, []);
  });

  if (via.name === 'stdio') {
    test('nothing on standard error', () => {
      assert.equal(t.stderr(), '');
    });
  } else if (kind.Http === StreamableHTTPClientTransport) {
    test('a client without the password is refused, and one with an unknown session is answered', async () => {
      const refused = new Client({ name: 'no-password', version: '1.0.0' });
      await assert.rejects(refused.connect(httpTransport(t.host.origin, {})), /401|invalid node password/);
      const stale = new Client({ name: 'stale-session', version: '1.0.0' });
      await stale.connect(httpTransport(t.host.origin, { Authorization: `Bearer ${PASSWORD}`, 'Mcp-Session-Id': 'gone' }));
      assert.deepEqual(await stale.ping(), {});
      await stale.close();
    });
  }
});

// The Inspector's command-line mode, from the local package only (npx --no
// never downloads). It exits 0 for an answer and 5 for a tool result with
// isError.
describe('the Inspector CLI', () => {
  let t;
  before(() => { t = tempHome(); });
  after(() => fs.rmSync(t.dir, { recursive: true, force: true }));

  function inspector(...args) {
    // "--" keeps npx from taking the Inspector's options for its own.
    const r = spawnSync('npx', ['--no', '--', '@modelcontextprotocol/inspector', '--cli',
      '-e', `MEMORY_FILE_PATH=${t.graph}`, '-e', `HOME=${t.home}`, EXE, '--mcp', ...args], {
      cwd: HERE,
      encoding: 'utf8',
      timeout: 120000,
      killSignal: 'SIGKILL',
      env: {
        ...process.env, HOME: t.home, MCP_CATALOG_PATH: path.join(t.dir, 'catalog.json'),
        MCP_INSPECTOR_SECRET_STORE: 'memory', npm_config_offline: 'true', npm_config_update_notifier: 'false',
      },
    });
    return r;
  }

  test('tools/list', () => {
    const r = inspector('--method', 'tools/list', '--strict');
    assert.equal(r.status, 0, r.stderr);
    assert.deepEqual(JSON.parse(r.stdout).tools.map((x) => x.name), CATALOGUE.map((x) => x.name));
  });

  test('tools/call with --tool-arg changes the graph', () => {
    const r = inspector('--method', 'tools/call', '--tool-name', 'create_entities',
      '--tool-arg', 'entities=[{"name":"Inspected","entityType":"test"}]');
    assert.equal(r.status, 0, r.stderr);
    const out = JSON.parse(r.stdout);
    assert.equal(out.isError, false);
    assert.equal(out.structuredContent.entities[0].name, 'Inspected');
    assert.match(fs.readFileSync(t.graph, 'utf8'), /"name":"Inspected"/);
  });

  test('a tool answering with isError makes it exit 5', () => {
    const r = inspector('--method', 'tools/call', '--tool-name', 'open_nodes', '--tool-arg', 'names=5');
    assert.equal(r.status, 5, r.stdout + r.stderr);
    const out = JSON.parse(r.stdout);
    assert.equal(out.isError, true);
    assert.equal(out.content[0].text, 'Missing required parameter: names');
  });

  test('resources/read', () => {
    const r = inspector('--method', 'resources/read', '--uri', 'memory://knowledge-graph');
    assert.equal(r.status, 0, r.stderr);
    const g = JSON.parse(JSON.parse(r.stdout).contents[0].text);
    assert.ok(g.entities.some((e) => e.name === 'Inspected'));
  });
});
