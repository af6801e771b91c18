// scripts/deps/node-engines.js: npm's range forms against release versions, on both sides of
// each bound, and what it makes of lockfiles.
// Usage: node node_engines_test.js REPO
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');

const { satisfies, refusals } = require(path.join(process.argv[2], 'scripts/deps/node-engines.js'));

// [range, versions it admits, versions it refuses]
const cases = [
  ['>=18', ['18.0.0', '18.19.0', '22.1.0'], ['17.9.9', '16.20.2']],
  ['>= 18.19', ['18.19.0', '19.0.0'], ['18.18.9']],
  ['>18', ['19.0.0'], ['18.19.0', '18.99.99']],
  ['>18.19', ['18.20.0'], ['18.19.9']],
  ['>18.19.0', ['18.19.1'], ['18.19.0']],
  ['<20', ['19.99.0'], ['20.0.0']],
  ['<=18', ['18.99.0'], ['19.0.0']],
  ['<=18.19.1', ['18.19.1'], ['18.19.2']],
  ['=18.19.0', ['18.19.0'], ['18.19.1']],
  ['18', ['18.0.0', '18.99.0'], ['19.0.0', '17.0.0']],
  ['18.x', ['18.19.0'], ['19.0.0']],
  ['18.19.*', ['18.19.7'], ['18.20.0']],
  ['v18.19.x', ['18.19.0'], ['18.18.0']],
  ['*', ['0.0.0', '18.19.0'], []],
  ['', ['18.19.0'], []],
  ['x || <0', ['18.19.0'], []],
  ['>*', [], ['18.19.0']],
  ['^18.19.0', ['18.19.0', '18.99.0'], ['18.18.9', '19.0.0']],
  ['^18.20', ['18.20.0'], ['18.19.0']],
  ['^0.2.3', ['0.2.9'], ['0.3.0', '0.2.2']],
  ['^0.0.3', ['0.0.3'], ['0.0.4']],
  ['^0.0', ['0.0.9'], ['0.1.0']],
  ['^0.x', ['0.9.0'], ['1.0.0']],
  ['~18.19', ['18.19.9'], ['18.20.0']],
  ['~18.18.2', ['18.18.9'], ['18.19.0', '18.18.1']],
  ['~18', ['18.99.0'], ['19.0.0']],
  ['~> 18.19', ['18.19.0'], ['18.20.0']],
  ['16 - 18.19', ['16.0.0', '18.19.9'], ['15.9.9', '18.20.0']],
  ['16.1.2 - 18.19.0', ['18.19.0'], ['18.19.1', '16.1.1']],
  ['>=14 <18.19', ['18.18.2'], ['18.19.0', '13.0.0']],
  ['^14.17.0 || ^16.10.0 || >=17.0.0', ['18.19.0', '16.10.0'], ['16.9.0', '15.0.0']],
  ['^16.14.0 || >=18.20.0', ['18.20.4'], ['18.19.0']],
  ['>=20', ['20.0.0'], ['18.19.0', '18.20.4']],
];

test('each range admits what npm admits and refuses what npm refuses', () => {
  for (const [range, admitted, refused] of cases) {
    for (const v of admitted) assert.equal(satisfies(v, range), true, `${v} in "${range}"`);
    for (const v of refused) assert.equal(satisfies(v, range), false, `${v} in "${range}"`);
  }
});

test('a range it cannot read is an error, not an answer', () => {
  for (const range of ['>=18.0.0-rc.1', 'latest', '>=18 || node18', '=>18', '18.19.0.1',
    '1 - ', '>=99999999999999999999'])
    assert.throws(() => satisfies('18.19.0', range), /cannot read|out of range/, range);
  assert.throws(() => satisfies('18.19', '>=18'), /not a release/);
});

test('a lockfile: the packages whose engines refuse, by name, each range read', () => {
  const lock = {
    name: 'web',
    lockfileVersion: 3,
    packages: {
      '': { name: 'web', engines: { node: '>=16' } },
      'node_modules/plain': { version: '1.0.0' },
      'node_modules/new': { version: '2.0.0', engines: { node: '>=20' } },
      'node_modules/@scope/b/node_modules/c': { version: '3.0.0', engines: { node: '^20 || ^22' } },
      'node_modules/old': { version: '4.0.0', engines: { node: '>=0.10' } },
    },
  };
  assert.deepEqual(refusals(lock, '18.19.0'), [
    { name: 'new', version: '2.0.0', range: '>=20' },
    { name: 'c', version: '3.0.0', range: '^20 || ^22' },
  ]);
  assert.deepEqual(refusals(lock, '22.0.0'), []);
  assert.deepEqual(refusals(lock, '14.0.0').map((r) => r.name), ['web', 'new', 'c']);
  lock.packages['node_modules/old'].engines.node = '>=0.10-beta';
  assert.throws(() => refusals(lock, '22.0.0'), /cannot read/);
  assert.throws(() => refusals({ lockfileVersion: 1, dependencies: {} }, '18.19.0'), /packages/);
});
