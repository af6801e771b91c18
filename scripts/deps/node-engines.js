// Which packages of npm lockfiles refuse a Node.js version: each package's engines.node, a range
// in npm's semver syntax, held against the version given (--node X.Y.Z) or the running node's.
// scripts/ensure-deps asks it before npm runs; a test asks it about the oldest Node.js we support.
//
// The ranges read are those of releases: comparators (<, <=, >, >=, =), partial and x-ranges
// (1, 1.2, 1.x, 1.2.*, *), tilde and caret ranges, hyphen ranges (1.2 - 3), and sets joined by
// ||. Anything else (a prerelease, a tag, a typo) is an error rather than a guess, so that a form
// this does not know can never pass for one that admits the version.
//
// Usage: node-engines.js [--node X.Y.Z] LOCKFILE...
// Prints one line per refusing package; the status is 0 when none refuses, 1 when one does,
// 2 when a lockfile or a range cannot be read.
// CommonJS and nothing newer than Node.js 6 knows, so that a Node.js too old for the tests still
// runs it to say so.
'use strict';
const fs = require('fs');
const path = require('path');

const operator = /^(<=|>=|<|>|=|~>|~|\^)/;
const partialVersion = /^v?(\d+|[xX*])(?:\.(\d+|[xX*]))?(?:\.(\d+|[xX*]))?$/;

// A version, whole or partial, as [major, minor, patch]: null for a wildcard or a missing part,
// and for every part after one (1.x.3 is 1.x).
function parsePartial(text, range) {
  const m = partialVersion.exec(text);
  if (!m) throw new Error(`cannot read version "${text}" in range "${range}"`);
  const parts = [];
  let wild = false;
  for (const part of m.slice(1, 4)) {
    wild = wild || part === undefined || !/^\d+$/.test(part);
    if (!wild && !Number.isSafeInteger(Number(part)))
      throw new Error(`version "${text}" out of range in "${range}"`);
    parts.push(wild ? null : Number(part));
  }
  return parts;
}

// A comparator is [op, [major, minor, patch]] with op one of >= > <= < =.
const none = [['<', [0, 0, 0]]];

function atLeast(p) { return ['>=', [p[0], p[1] || 0, p[2] || 0]]; }

// The first release past every version that p, partial, stands for (p whole: none).
function pastPartial(p) {
  return p[1] === null ? [p[0] + 1, 0, 0] : [p[0], p[1] + 1, 0];
}

// The comparators that one operator and partial version stand for.
function desugar(op, p) {
  const whole = p[2] !== null;
  if (p[0] === null) return op === '<' || op === '>' ? none : [];
  switch (op) {
    case '':
    case '=':
      return whole ? [['=', p]] : [atLeast(p), ['<', pastPartial(p)]];
    case '>=':
      return [atLeast(p)];
    case '>':
      return whole ? [['>', p]] : [['>=', pastPartial(p)]];
    case '<':
      return [['<', [p[0], p[1] || 0, p[2] || 0]]];
    case '<=':
      return whole ? [['<=', p]] : [['<', pastPartial(p)]];
    case '~':
    case '~>':
      return [atLeast(p), ['<', pastPartial(p[1] === null ? p : [p[0], p[1], null])]];
    case '^': {
      // Up to the next change of the first part that is not zero (or the last part given).
      let upper;
      if (p[0] > 0 || p[1] === null) upper = [p[0] + 1, 0, 0];
      else if (p[1] > 0 || p[2] === null) upper = [0, p[1] + 1, 0];
      else upper = [0, 0, p[2] + 1];
      return [atLeast(p), ['<', upper]];
    }
  }
  throw new Error(`unknown operator ${op}`);
}

// The comparators of one set (the part of a range between ||): a hyphen range, or
// comparators separated by spaces (a space may follow an operator).
function parseSet(set, range) {
  const hyphen = /^(\S+)\s+-\s+(\S+)$/.exec(set);
  if (hyphen) {
    const low = parsePartial(hyphen[1], range);
    const high = parsePartial(hyphen[2], range);
    const out = low[0] === null ? [] : [atLeast(low)];
    if (high[0] !== null) out.push(high[2] !== null ? ['<=', high] : ['<', pastPartial(high)]);
    return out;
  }
  const words = set.replace(/(<=|>=|<|>|=|~>|~|\^)\s+/g, '$1').split(/\s+/).filter((w) => w);
  const out = [];
  for (const word of words) {
    const op = (operator.exec(word) || [''])[0];
    out.push(...desugar(op, parsePartial(word.slice(op.length), range)));
  }
  return out;
}

function compare(a, b) {
  for (let i = 0; i < 3; i++) if (a[i] !== b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

function holds([op, bound], v) {
  const c = compare(v, bound);
  switch (op) {
    case '>=': return c >= 0;
    case '>': return c > 0;
    case '<=': return c <= 0;
    case '<': return c < 0;
    default: return c === 0;
  }
}

// Parses a release X.Y.Z (a leading v allowed) into [X, Y, Z].
function parseRelease(text) {
  const p = /^v?(\d+)\.(\d+)\.(\d+)$/.exec(text);
  if (!p) throw new Error(`not a release version: "${text}"`);
  return p.slice(1).map(Number);
}

// Whether release version (text) is in range; throws when the range cannot be read.
function satisfies(version, range) {
  const v = parseRelease(version);
  const sets = range.split('||').map((s) => s.trim());
  // Every set is read, so that an unreadable one fails even when an earlier one admits v.
  const parsed = sets.map((s) => parseSet(s, range));
  return parsed.some((set) => set.every((c) => holds(c, v)));
}

// The packages of a parsed lockfile (version 2 or 3) whose engines.node refuses version, as
// [{ name, version, range }].
function refusals(lock, version) {
  if (!lock || typeof lock.packages !== 'object')
    throw new Error('no "packages" (a lockfile of npm 7 or later is needed)');
  const out = [];
  for (const where of Object.keys(lock.packages)) {
    const pkg = lock.packages[where];
    const range = pkg.engines && pkg.engines.node;
    if (range === undefined) continue;
    if (typeof range !== 'string')
      throw new Error(`${where || 'the root'}: engines.node is not a string`);
    if (!satisfies(version, range)) {
      const name = pkg.name || where.replace(/^.*node_modules\//, '') || lock.name || 'the root';
      out.push({ name, version: pkg.version || '', range });
    }
  }
  return out;
}

function main(args) {
  let version = process.versions.node;
  if (args[0] === '--node') {
    version = args[1];
    args = args.slice(2);
  }
  if (!version || args.length === 0) {
    console.error('Usage: node-engines.js [--node X.Y.Z] LOCKFILE...');
    return 2;
  }
  let refused = 0;
  for (const file of args) {
    try {
      for (const r of refusals(JSON.parse(fs.readFileSync(file, 'utf8')), version)) {
        const where = path.dirname(file);
        console.log(`  ${r.name} ${r.version} (${where}) needs Node.js ${r.range}, not ${version}`);
        refused++;
      }
    } catch (e) {
      console.error(`node-engines: ${file}: ${e.message}`);
      return 2;
    }
  }
  return refused ? 1 : 0;
}

module.exports = { satisfies, refusals };
if (require.main === module) process.exitCode = main(process.argv.slice(2));
