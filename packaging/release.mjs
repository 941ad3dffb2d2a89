// release.mjs - writes the two JSON documents of a release for scripts/package.sh:
// an MCP bundle's manifest.json, and the registry entry server.json.
//
//   node packaging/release.mjs manifest PLATFORM VERSION EXE TOOLS_JSON OWNER
//       prints the manifest of the bundle for PLATFORM (linux or win32) whose
//       executable is server/EXE; TOOLS_JSON is a file holding the tool
//       catalogue (plugin_memory --schema), listed in the manifest.
//   node packaging/release.mjs server-json OUT VERSION OWNER BUNDLE...
//       writes OUT, the registry entry with one package per bundle file,
//       each with its release download address and its SHA-256.
//
// OWNER is the GitHub account that publishes the releases: the registry name
// is io.github.OWNER/plugin-memory and the files are its release assets.
import { createHash } from "node:crypto";
import { readFileSync, writeFileSync } from "node:fs";
import { basename } from "node:path";

const NAME = "plugin-memory";
// The registry shows at most 100 characters.
const DESCRIPTION = "Knowledge-graph memory: entities, relations and observations kept in one local JSON Lines file";
const SERVER_SCHEMA = "https://static.modelcontextprotocol.io/schemas/2025-12-11/server.schema.json";

function repository(owner) {
  return `https://github.com/${owner}/${NAME}`;
}

// The folder the connector uses by default on each platform, offered as the
// bundle's default so that a graph kept before is found again.
const DEFAULT_DATA_DIR = {
  linux: "${HOME}/.tallowin/connectors/plugin_memory",
  win32: "${HOME}/AppData/Local/tallowin/connectors/plugin_memory",
};

function manifest(platform, version, exe, toolsFile, owner) {
  if (!(platform in DEFAULT_DATA_DIR)) throw new Error(`unknown platform ${platform}`);
  const tools = JSON.parse(readFileSync(toolsFile, "utf8")).map((t) => ({
    name: t.name,
    // The manifest lists each tool by its first sentence.
    description: String(t.description ?? "").split(/(?<=\.)\s/)[0],
  }));
  return {
    manifest_version: "0.3",
    name: NAME,
    display_name: "plugin_memory",
    version,
    description: DESCRIPTION,
    long_description:
      "A knowledge graph of named entities (each with a type and observations) and typed relations, " +
      "kept in `memory.jsonl` in the data directory you choose. Nine tools create, search, open and " +
      "delete its parts; the resource `memory://knowledge-graph` reads it whole. One native executable, " +
      "no runtime needed.",
    author: { name: "plugin_memory developers", url: repository(owner) },
    repository: { type: "git", url: repository(owner) },
    homepage: repository(owner),
    server: {
      type: "binary",
      entry_point: `server/${exe}`,
      mcp_config: {
        command: `\${__dirname}/server/${exe}`,
        args: ["--mcp"],
        env: { MEMORY_CONNECTOR_DIR: "${user_config.data_dir}" },
      },
    },
    user_config: {
      data_dir: {
        type: "directory",
        title: "Data directory",
        description: "The folder that holds the graph file memory.jsonl (created when missing).",
        required: false,
        default: DEFAULT_DATA_DIR[platform],
      },
    },
    tools,
    tools_generated: false,
    keywords: ["memory", "knowledge graph", "mcp"],
    compatibility: { platforms: [platform] },
  };
}

function serverJson(out, version, owner, bundles) {
  const doc = {
    $schema: SERVER_SCHEMA,
    name: `io.github.${owner}/${NAME}`,
    description: DESCRIPTION,
    repository: { url: repository(owner), source: "github" },
    version,
    packages: bundles.map((file) => ({
      registryType: "mcpb",
      identifier: `${repository(owner)}/releases/download/v${version}/${basename(file)}`,
      version,
      fileSha256: createHash("sha256").update(readFileSync(file)).digest("hex"),
      transport: { type: "stdio" },
    })),
  };
  writeFileSync(out, JSON.stringify(doc, null, 2) + "\n");
}

const [cmd, ...args] = process.argv.slice(2);
if (cmd === "manifest" && args.length === 5) {
  process.stdout.write(JSON.stringify(manifest(...args), null, 2) + "\n");
} else if (cmd === "server-json" && args.length >= 4) {
  const [out, version, owner, ...bundles] = args;
  serverJson(out, version, owner, bundles);
} else {
  process.stdout.write("usage: release.mjs manifest PLATFORM VERSION EXE TOOLS_JSON OWNER\n" +
                       "       release.mjs server-json OUT VERSION OWNER BUNDLE...\n");
  process.exit(2);
}
