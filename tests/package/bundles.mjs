// bundles.mjs - checks of the release files in dist/ that need JSON or an MCP
// conversation, for tests/package/run.sh. Each command prints one line per
// failed check on standard output and exits 1 when any failed.
//
//   node bundles.mjs mcp EXE DATA_DIR VERSION [ARG...]
//       runs EXE ARG... with MEMORY_CONNECTOR_DIR=DATA_DIR and holds an MCP
//       conversation: initialize (announcing VERSION), tools/list, one
//       tools/call that writes; the graph file must then be in DATA_DIR.
//   node bundles.mjs bundle UNPACKED_DIR DATA_DIR VERSION
//       resolves the unpacked bundle's command the way MCP clients do (the
//       bundle tool's own getMcpConfigForManifest, with the data directory as
//       the user's setting) and holds the same conversation with it.
//   node bundles.mjs server-json FILE VERSION BUNDLE...
//       checks the registry entry against the bundles it lists.
import { spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { existsSync, readFileSync } from "node:fs";
import { basename, dirname, join } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const failures = [];
const check = (ok, what) => {
  if (!ok) failures.push(what);
};

// Sends each message as one line and collects one response line per request;
// resolves with the responses by id when standard output ends.
function converse(command, args, env, messages) {
  return new Promise((resolve) => {
    const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ["pipe", "pipe", "pipe"] });
    let out = "";
    let err = "";
    const timer = setTimeout(() => child.kill("SIGKILL"), 20000);
    child.stdout.on("data", (d) => (out += d));
    child.stderr.on("data", (d) => (err += d));
    child.on("error", (e) => {
      clearTimeout(timer);
      resolve({ error: String(e), byId: {}, status: -1, err });
    });
    child.on("close", (status) => {
      clearTimeout(timer);
      const byId = {};
      for (const line of out.split("\n").filter(Boolean)) {
        try {
          const msg = JSON.parse(line);
          byId[msg.id] = msg;
        } catch {
          byId.unparsed = line;
        }
      }
      resolve({ byId, status, err });
    });
    // A program that exits without reading its input is reported by the checks.
    child.stdin.on("error", () => {});
    child.stdin.end(messages.map((m) => JSON.stringify(m) + "\n").join(""));
  });
}

async function mcpSession(label, command, args, env, dataDir, version) {
  const r = await converse(command, args, env, [
    { jsonrpc: "2.0", id: 1, method: "initialize",
      params: { protocolVersion: "2025-06-18", capabilities: {}, clientInfo: { name: "package-test", version: "1" } } },
    { jsonrpc: "2.0", method: "notifications/initialized" },
    { jsonrpc: "2.0", id: 2, method: "tools/list" },
    { jsonrpc: "2.0", id: 3, method: "tools/call",
      params: { name: "create_entities",
                arguments: { entities: [{ name: "package", entityType: "test", observations: ["installed"] }] } } },
  ]);
  check(!r.error, `${label}: does not start: ${r.error}`);
  check(r.status === 0, `${label}: exit status ${r.status}`);
  check(r.err === "", `${label}: wrote to standard error: ${r.err}`);
  const init = r.byId[1]?.result;
  check(init?.serverInfo?.name && init?.protocolVersion, `${label}: no initialize result: ${JSON.stringify(r.byId[1])}`);
  check(init?.serverInfo?.version === version, `${label}: announces version ${init?.serverInfo?.version}, not ${version}`);
  const tools = r.byId[2]?.result?.tools ?? [];
  check(tools.length === 9, `${label}: tools/list has ${tools.length} tools`);
  check(r.byId[3]?.result && !r.byId[3].result.isError, `${label}: create_entities failed: ${JSON.stringify(r.byId[3])}`);
  const file = join(dataDir, "memory.jsonl");
  check(existsSync(file) && readFileSync(file, "utf8").includes('"package"'),
        `${label}: the graph file is not in the data directory ${dataDir}`);
}

async function bundle(dir, dataDir, version) {
  const mcpb = await import(pathToFileURL(join(here, "../../packaging/node_modules/@anthropic-ai/mcpb/dist/node.js")));
  const manifest = JSON.parse(readFileSync(join(dir, "manifest.json"), "utf8"));
  check(manifest.version === version, `bundle ${dir}: manifest version ${manifest.version}, not ${version}`);
  const platforms = manifest.compatibility?.platforms ?? [];
  check(platforms.length === 1, `bundle ${dir}: platforms ${JSON.stringify(platforms)}`);
  check(manifest.server?.mcp_config?.env?.MEMORY_CONNECTOR_DIR === "${user_config.data_dir}",
        `bundle ${dir}: MEMORY_CONNECTOR_DIR is not mapped to the data directory setting`);
  check(manifest.user_config?.data_dir?.type === "directory", `bundle ${dir}: no data directory setting`);
  const config = await mcpb.getMcpConfigForManifest({
    manifest, extensionPath: dir, systemDirs: { HOME: dataDir }, userConfig: { data_dir: dataDir },
    pathSeparator: "/",
  });
  check(config?.command?.startsWith(dir + "/"), `bundle ${dir}: command ${config?.command} is not inside the bundle`);
  const label = `bundle ${basename(dir)}`;
  if (platforms[0] === "linux") {
    await mcpSession(label, config.command, config.args, config.env, dataDir, version);
  } else if (process.env.WINE_RUN) {
    // The Windows executable, run by the command in WINE_RUN; it sees this
    // machine's root as drive Z:, so the data directory is given as such.
    const winDir = "Z:" + dataDir.replaceAll("/", "\\");
    const winConfig = await mcpb.getMcpConfigForManifest({
      manifest, extensionPath: dir, systemDirs: { HOME: dataDir }, userConfig: { data_dir: winDir },
      pathSeparator: "/",
    });
    await mcpSession(label, process.env.WINE_RUN, [winConfig.command, ...winConfig.args], winConfig.env, dataDir, version);
  } else {
    // Nothing here runs it: it is there and is a Windows executable.
    const head = readFileSync(config.command).subarray(0, 2).toString("latin1");
    check(head === "MZ", `${label}: ${config.command} is not a Windows executable`);
  }
}

function serverJson(file, version, bundles) {
  const doc = JSON.parse(readFileSync(file, "utf8"));
  check(doc.$schema?.endsWith("/2025-12-11/server.schema.json"), `server.json: $schema ${doc.$schema}`);
  check(/^io\.github\.[A-Za-z0-9-]+\/plugin-memory$/.test(doc.name ?? ""), `server.json: name ${doc.name}`);
  check(typeof doc.description === "string" && doc.description.length > 0 && doc.description.length <= 100,
        "server.json: description missing or longer than 100 characters");
  check(doc.version === version, `server.json: version ${doc.version}, not ${version}`);
  const packages = doc.packages ?? [];
  check(packages.length === bundles.length, `server.json: ${packages.length} packages for ${bundles.length} bundles`);
  for (const b of bundles) {
    const name = basename(b);
    const p = packages.find((q) => q.identifier?.endsWith("/" + name));
    check(p, `server.json: no package for ${name}`);
    if (!p) continue;
    const sha = createHash("sha256").update(readFileSync(b)).digest("hex");
    check(p.registryType === "mcpb", `server.json: ${name}: registryType ${p.registryType}`);
    check(p.identifier.startsWith("https://") && p.identifier.includes(`/releases/download/v${version}/`),
          `server.json: ${name}: identifier ${p.identifier}`);
    check(p.version === version, `server.json: ${name}: version ${p.version}`);
    check(p.fileSha256 === sha, `server.json: ${name}: fileSha256 ${p.fileSha256}, the file's is ${sha}`);
    check(p.transport?.type === "stdio", `server.json: ${name}: transport ${JSON.stringify(p.transport)}`);
  }
}

const [cmd, ...args] = process.argv.slice(2);
if (cmd === "mcp") {
  const [exe, dataDir, version, ...rest] = args;
  await mcpSession(exe, exe, rest, { MEMORY_CONNECTOR_DIR: dataDir }, dataDir, version);
} else if (cmd === "bundle") {
  await bundle(...args);
} else if (cmd === "server-json") {
  const [file, version, ...bundles] = args;
  serverJson(file, version, bundles);
} else {
  failures.push(`unknown command ${cmd}`);
}
for (const f of failures) console.log(f);
process.exit(failures.length ? 1 : 0);
