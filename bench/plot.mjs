// plot.mjs - draws the per-call cost against the graph file's size as an SVG
// plot (both axes logarithmic), from the table bench/run.sh writes.
//
//   node bench/plot.mjs <table.tsv> > bench/percall.svg
//
// Table lines (tab-separated): shape, entities, file bytes, then the
// milliseconds per call of each series in the order of SERIES below; a
// value that is not a positive number is left out of the plot.
import { readFileSync } from 'node:fs';

const SERIES = [
  { name: 'product, cold (first call of a process)', color: '#d62728' },
  { name: 'product, warm (one more call in a session)', color: '#2ca02c' },
  { name: 'floor: read + parse every line (yyjson)', color: '#1f77b4' },
  { name: 'Node.js: read + JSON.parse every line, per call', color: '#9467bd' },
  { name: 'web host, FastCGI: /mcp open_nodes round trip (keep-alive)', color: '#ff7f0e' },
  { name: 'web host, CGI: /mcp open_nodes round trip (keep-alive)', color: '#8c564b' },
];
const SHAPES = { short: { dash: '', label: 'many short observations' }, long: { dash: '6 4', label: 'few long observations' } };

const rows = readFileSync(process.argv[2], 'utf8')
  .split('\n')
  .filter((l) => l.trim())
  .map((l) => l.split('\t'))
  .map(([shape, entities, bytes, ...ms]) => ({ shape, entities: +entities, bytes: +bytes, ms: ms.map(Number) }))
  .filter((r) => r.bytes > 0);

const W = 760, H = 516, L = 70, R = 20, T = 30, B = 186;
const xs = rows.map((r) => r.bytes / 1048576);
const ys = rows.flatMap((r) => r.ms.filter((v) => v > 0));
const lo = (v) => Math.floor(Math.log10(Math.min(...v)));
const hi = (v) => Math.ceil(Math.log10(Math.max(...v)));
const [x0, x1] = xs.length ? [lo(xs), hi(xs)] : [-2, 2];
const [y0, y1] = ys.length ? [lo(ys), Math.max(hi(ys), lo(ys) + 1)] : [-3, 3];
const px = (mb) => L + ((Math.log10(mb) - x0) / (x1 - x0 || 1)) * (W - L - R);
const py = (ms) => T + (1 - (Math.log10(ms) - y0) / (y1 - y0 || 1)) * (H - T - B);
const esc = (s) => s.replace(/&/g, '&amp;').replace(/</g, '&lt;');
const num = (e) => (e >= 0 ? String(10 ** e) : (10 ** e).toFixed(-e));

const out = [];
out.push(`<svg xmlns="http://www.w3.org/2000/svg" width="${W}" height="${H}" viewBox="0 0 ${W} ${H}" font-family="sans-serif" font-size="12">`);
out.push(`<rect width="${W}" height="${H}" fill="#fff"/>`);
out.push(`<text x="${W / 2}" y="18" text-anchor="middle" font-size="14">Time per MCP open_nodes call against the graph file's size</text>`);
for (let e = x0; e <= x1; e++) {
  const x = px(10 ** e).toFixed(1);
  out.push(`<line x1="${x}" y1="${T}" x2="${x}" y2="${H - B}" stroke="#ddd"/>`);
  out.push(`<text x="${x}" y="${H - B + 16}" text-anchor="middle">${num(e)}</text>`);
}
for (let e = y0; e <= y1; e++) {
  const y = py(10 ** e).toFixed(1);
  out.push(`<line x1="${L}" y1="${y}" x2="${W - R}" y2="${y}" stroke="#ddd"/>`);
  out.push(`<text x="${L - 6}" y="${(+y + 4).toFixed(1)}" text-anchor="end">${num(e)}</text>`);
}
out.push(`<rect x="${L}" y="${T}" width="${W - L - R}" height="${H - T - B}" fill="none" stroke="#444"/>`);
out.push(`<text x="${(L + W - R) / 2}" y="${H - B + 34}" text-anchor="middle">graph file size, MB (log scale)</text>`);
out.push(`<text transform="translate(18 ${(T + H - B) / 2}) rotate(-90)" text-anchor="middle">milliseconds per call (log scale)</text>`);
for (const [shape, look] of Object.entries(SHAPES)) {
  const of = rows.filter((r) => r.shape === shape).sort((a, b) => a.bytes - b.bytes);
  SERIES.forEach((s, i) => {
    const pts = of.filter((r) => r.ms[i] > 0).map((r) => [px(r.bytes / 1048576), py(r.ms[i])]);
    if (!pts.length) return;
    const d = pts.map(([x, y], k) => `${k ? 'L' : 'M'}${x.toFixed(1)} ${y.toFixed(1)}`).join(' ');
    out.push(`<path d="${d}" fill="none" stroke="${s.color}" stroke-width="2"${look.dash ? ` stroke-dasharray="${look.dash}"` : ''}/>`);
    for (const [x, y] of pts) out.push(`<circle cx="${x.toFixed(1)}" cy="${y.toFixed(1)}" r="3" fill="${s.color}"/>`);
  });
}
let ly = H - B + 56;
SERIES.forEach((s) => {
  out.push(`<line x1="${L}" y1="${ly - 4}" x2="${L + 28}" y2="${ly - 4}" stroke="${s.color}" stroke-width="2"/>`);
  out.push(`<text x="${L + 36}" y="${ly}">${esc(s.name)}</text>`);
  ly += 18;
});
ly = H - B + 56;
for (const look of Object.values(SHAPES)) {
  out.push(`<line x1="${W - 250}" y1="${ly - 4}" x2="${W - 222}" y2="${ly - 4}" stroke="#444" stroke-width="2"${look.dash ? ` stroke-dasharray="${look.dash}"` : ''}/>`);
  out.push(`<text x="${W - 214}" y="${ly}">${esc(look.label)}</text>`);
  ly += 18;
}
out.push('</svg>');
process.stdout.write(out.join('\n') + '\n');
