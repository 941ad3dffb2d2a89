// The real web host for the tests in tests/js: scripts/host.sh serving the
// built program on a free loopback port with a fresh data directory.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const SOURCE = process.env.PLUGIN_MEMORY_SOURCE
  || path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
export const EXE = process.env.PLUGIN_MEMORY_EXE || path.join(SOURCE, 'build/plugin_memory');

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const c = net.connect({ host: '127.0.0.1', port });
    c.once('connect', () => { c.destroy(); resolve(true); });
    c.once('error', () => resolve(false));
  });
}

// Starts scripts/host.sh in its own process group with the given password
// (none by default), extra arguments and extra environment; stop() ends the
// group and removes the data directory. `graph` is the graph file's path;
// `file`, when given, is the text that graph file starts with.
export async function startHost({ password, args = [], env: extra = {}, file } = {}) {
  const port = await freePort();
  const data = fs.mkdtempSync(path.join(os.tmpdir(), 'plugin_memory_js.'));
  if (file !== undefined) fs.writeFileSync(path.join(data, 'memory.jsonl'), file);
  const env = { ...process.env };
  for (const k of ['BOT_PASSWORD', 'MEMORY_FILE_PATH', 'MEMORY_CONNECTOR_DIR', 'MEMORY_WEB_HOSTS']) delete env[k];
  if (password) env.BOT_PASSWORD = password;
  Object.assign(env, extra);
  const child = spawn('bash', [path.join(SOURCE, 'scripts/host.sh'), '--port', String(port), '--data', data,
    '--exe', EXE, ...args], { env, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  child.stdout.on('data', (d) => { log += d; });
  child.stderr.on('data', (d) => { log += d; });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  let gone = false;
  exited.then(() => { gone = true; });
  const deadline = Date.now() + 20000;
  while (!(log.includes('plugin_memory: serving') && await canConnect(port))) {
    if (gone || Date.now() > deadline) {
      try { process.kill(-child.pid, 'SIGKILL'); } catch {}
      fs.rmSync(data, { recursive: true, force: true });
      throw new Error(`the host did not start on port ${port}:\n${log}`);
    }
    await new Promise((r) => setTimeout(r, 50));
  }
  return {
    origin: `http://127.0.0.1:${port}`,
    port,
    data,
    graph: path.join(data, 'memory.jsonl'),
    log: () => log,
    async stop() {
      if (!gone) {
        try { process.kill(-child.pid, 'SIGTERM'); } catch {}
        const t = setTimeout(() => { try { process.kill(-child.pid, 'SIGKILL'); } catch {} }, 5000);
        await exited;
        clearTimeout(t);
      }
      fs.rmSync(data, { recursive: true, force: true });
    },
  };
}
