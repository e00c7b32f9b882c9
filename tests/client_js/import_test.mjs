// qelt-agent-client without a DOM, as a server-side renderer imports it (Node):
//   node import_test.mjs CLIENT_DIR GLOBAL_BUILD PROJECT_VERSION
// then its answers against small servers of this process, through fetch.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import { test } from 'node:test';
import vm from 'node:vm';

const [clientDir, globalBuild, projectVersion] = process.argv.slice(2);
const client = await import(`${clientDir}/qelt-agent-client.js`);

test('the package carries the agent\'s version', () => {
  assert.equal(JSON.parse(readFileSync(`${clientDir}/package.json`, 'utf8')).version, projectVersion);
});

test('both builds load with no window, document or navigator', () => {
  assert.deepEqual(Object.keys(client).sort(), ['QeltAgentError', 'getMacAddresses', 'probe']);
  // A bare context: no window, no document, no fetch.
  const context = vm.createContext({});
  vm.runInContext(readFileSync(globalBuild, 'utf8'), context);
  assert.equal(vm.runInContext('Object.keys(qeltAgentClient).sort().join()', context),
    'QeltAgentError,getMacAddresses,probe');
  assert.equal(vm.runInContext('typeof window + typeof document', context), 'undefinedundefined');
});

// One answer per server: its body, or null for a server that accepts and never answers.
async function agentAnswering(body) {
  const sockets = new Set();
  const server = http.createServer((request, response) => {
    if (body !== null) response.end(body);
  });
  server.on('connection', (socket) => sockets.add(socket));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    agent: `http://127.0.0.1:${server.address().port}`,
    close: () => {
      sockets.forEach((socket) => socket.destroy());
      server.close();
    },
  };
}

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail('expected a rejection');
}

test('fetch: the list, each failure code, and every call settles', async () => {
  const cases = [
    ['{"data":["02:00:00:00:00:01"],"success":true}', ['02:00:00:00:00:01']],
    ['{"data":"could not find mac address","success":false}', 'NO_ADAPTER_LIST'],
    ['<html>not the agent</html>', 'BAD_ANSWER'],
    ['{"data":[1],"success":true}', 'BAD_ANSWER'],
    [null, 'TIMEOUT'],
  ];
  for (const [body, expected] of cases) {
    const server = await agentAnswering(body);
    try {
      // Long enough for Node's first fetch, short for the stalled server.
      const timeout = body === null ? 300 : 5000;
      const call = client.getMacAddresses({ agent: server.agent, timeout, transport: 'fetch' });
      if (Array.isArray(expected)) assert.deepEqual(await call, expected);
      else assert.equal((await rejection(call)).code, expected, `answer ${body}`);
    } finally {
      server.close();
    }
  }
  const stalled = await agentAnswering(null);
  try {
    const controller = new AbortController();
    const call = client.getMacAddresses({ agent: stalled.agent, timeout: 60000, signal: controller.signal });
    controller.abort(new Error('left the page'));
    assert.equal((await rejection(call)).message, 'left the page');
  } finally {
    stalled.close();
  }
});

test('a wrong option is a TypeError, not an agent failure', async () => {
  for (const options of [{ transport: 'xhr' }, { agent: 'http://example.com:17654' }, { timeout: 0 },
    { transport: 'jsonp' }]) {
    assert.equal((await rejection(client.getMacAddresses(options))).name, 'TypeError', JSON.stringify(options));
  }
});
