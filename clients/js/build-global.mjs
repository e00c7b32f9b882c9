// Writes the classic-script build (one global, qeltAgentClient) from the ES module:
//   node build-global.mjs [OUT]     default: qelt-agent-client.global.js beside this file
// npm pack runs it (prepack); the tests run it into their build folder.
import { readFileSync, writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

const here = (name) => fileURLToPath(new URL(name, import.meta.url));
const source = readFileSync(here('qelt-agent-client.js'), 'utf8');
const exported = [...source.matchAll(/^export (?:async )?(?:function|class) (\w+)/gm)].map((m) => m[1]);
// Not re-indented: that would change any text literal spanning lines.
const body = source.replace(/^export /gm, '').trimEnd();
const out = process.argv[2] || here('qelt-agent-client.global.js');
writeFileSync(out, `// qelt-agent-client as a classic script: <script src="qelt-agent-client.global.js">
// defines the global qeltAgentClient. Generated from qelt-agent-client.js by build-global.mjs.
(function () {
  'use strict';

${body}

  globalThis.qeltAgentClient = Object.freeze({ ${exported.join(', ')} });
})();
`);
