// qelt-agent-client: reads this computer's MAC addresses from the qelt agent
// (http://127.0.0.1:17654) in a web page, and says why when it cannot.
//
// No dependencies, and nothing here touches window or document until a function is
// called: a server-side renderer may import it.

const DEFAULT_AGENT = 'http://127.0.0.1:17654';
const TRANSPORTS = ['auto', 'fetch', 'jsonp'];
// Chromium 145+ names the loopback permission so; Chrome 142 to 144 had the older name.
const PERMISSION_NAMES = ['loopback-network', 'local-network-access'];

export class QeltAgentError extends Error {
  constructor(code, message, options) {
    super(message, options);
    this.name = 'QeltAgentError';
    this.code = code;
  }
}

// The agent is loaded as a script on the JSONP path: only an address on this computer is taken.
function agentOrigin(text) {
  let url;
  try {
    url = new URL(text);
  } catch {
    url = null;
  }
  const loopback = url && ['127.0.0.1', 'localhost', '[::1]'].includes(url.hostname);
  if (!loopback || url.protocol !== 'http:' || url.username || url.password) {
    throw new TypeError(`qelt-agent-client: agent must be an http:// origin on this computer, not ${text}`);
  }
  return url.origin;
}

// One deadline and the caller's signal, for every step of a call.
function callScope(timeout, signal) {
  const controller = new AbortController();
  let stop;
  const stopped = new Promise((resolve, reject) => {
    stop = (reason) => {
      controller.abort(reason);
      reject(reason);
    };
  });
  // A rejection nobody awaits yet must not be reported as unhandled.
  stopped.catch(() => {});
  const onAbort = () => stop(signal.reason);
  const timer = setTimeout(() => stop(new QeltAgentError('TIMEOUT', `the agent did not answer within ${timeout} ms`)),
    timeout);
  if (signal && signal.aborted) onAbort();
  else if (signal) signal.addEventListener('abort', onAbort, { once: true });
  return {
    signal: controller.signal,
    // Settles with the step, or with the deadline or the abort, whichever comes first.
    run: (step) => Promise.race([step, stopped]),
    end: () => {
      clearTimeout(timer);
      if (signal) signal.removeEventListener('abort', onAbort);
    },
  };
}

function readEnvelope(envelope) {
  if (envelope && envelope.success === true && Array.isArray(envelope.data) &&
      envelope.data.every((mac) => typeof mac === 'string')) {
    return envelope.data;
  }
  if (envelope && envelope.success === false) {
    throw new QeltAgentError('NO_ADAPTER_LIST',
      `the agent is running but could not read the adapter list (it said: ${JSON.stringify(envelope.data)})`);
  }
  throw new QeltAgentError('BAD_ANSWER', 'the answer on the agent\'s port is not the agent\'s');
}

// A failure that JSONP or the diagnosis may still explain.
class Unreachable extends Error {}

async function askWithFetch(agent, scope) {
  let response;
  try {
    // A plain GET: no custom header, so no preflight (the agent allows none).
    response = await fetch(`${agent}/mac`, { cache: 'no-store', signal: scope.signal });
  } catch (error) {
    if (scope.signal.aborted) throw scope.signal.reason;
    throw new Unreachable(String(error), { cause: error });
  }
  if (!response.ok) throw new QeltAgentError('BAD_ANSWER', `HTTP status ${response.status} from the agent's port`);
  let envelope;
  try {
    envelope = await response.json();
  } catch (error) {
    if (scope.signal.aborted) throw scope.signal.reason;
    throw new QeltAgentError('BAD_ANSWER', 'the answer on the agent\'s port is not JSON', { cause: error });
  }
  return readEnvelope(envelope);
}

// The agent always calls the global macCallback, so JSONP calls run one at a time.
let jsonpQueue = Promise.resolve();

function askWithJsonp(agent, scope) {
  const turn = jsonpQueue.then(() => jsonpOnce(agent, scope));
  jsonpQueue = turn.catch(() => {});
  return turn;
}

function jsonpOnce(agent, scope) {
  if (scope.signal.aborted) return Promise.reject(scope.signal.reason);
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    let answer;
    let settled = false;
    const settle = (error, macs) => {
      if (settled) return;
      settled = true;
      scope.signal.removeEventListener('abort', aborted);
      if (error) reject(error);
      else resolve(macs);
    };
    // The element goes, and so does the global, once the script has loaded or failed.
    const cleanUp = () => {
      script.remove();
      if (globalThis.macCallback === callback) delete globalThis.macCallback;
    };
    const callback = (envelope) => {
      answer = { envelope };
    };
    // A late script still finds its callback; the element goes at once.
    const aborted = () => {
      script.remove();
      settle(scope.signal.reason);
    };
    scope.signal.addEventListener('abort', aborted);
    globalThis.macCallback = callback;
    script.onerror = () => {
      cleanUp();
      settle(new Unreachable('the script did not load'));
    };
    // load fires after the script ran: one that did not call macCallback is no answer.
    script.onload = () => {
      cleanUp();
      if (!answer) {
        settle(new QeltAgentError('BAD_ANSWER', 'the script on the agent\'s port did not call macCallback'));
        return;
      }
      try {
        settle(null, readEnvelope(answer.envelope));
      } catch (error) {
        settle(error);
      }
    };
    // A script carries no Origin: a restricted agent goes by the Referer, which an
    // https:// page sends to http://127.0.0.1 only when asked to.
    script.referrerPolicy = 'origin';
    script.src = `${agent}/macp`;
    document.head.appendChild(script);
  });
}

async function permissionState() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || !permissions.query) return 'unknown';
  for (const name of PERMISSION_NAMES) {
    try {
      const { state } = await permissions.query({ name });
      // Outside a secure context Chromium says "denied" whether or not it stops anything.
      if (state === 'denied' && !globalThis.isSecureContext) return 'unknown';
      return state;
    } catch {
      // This browser does not know the name: try the next one.
    }
  }
  return 'unknown';
}

// Did anything answer on the port? A no-cors fetch needs no CORS header, so it resolves
// (opaque) for any answer, a refusal included, and fails when nothing answers. The
// Referer names this site, from an https:// page too.
async function agentAnswers(agent, scope) {
  try {
    await fetch(`${agent}/mac`, { mode: 'no-cors', cache: 'no-store', referrerPolicy: 'origin', signal: scope.signal });
    return true;
  } catch (error) {
    if (scope.signal.aborted) throw scope.signal.reason;
    return false;
  }
}

function pageIsLocal() {
  const location = globalThis.location;
  if (!location) return true;
  const host = location.hostname;
  return location.protocol === 'file:' || host === 'localhost' || host === '[::1]' || /^127\./.test(host) ||
    host.endsWith('.localhost');
}

// Why neither way in worked. A denied permission stops every request, the probe
// included, so it is asked first.
async function explain(agent, scope, failure) {
  const permission = await scope.run(permissionState());
  if (permission === 'denied') {
    throw new QeltAgentError('BLOCKED_BY_BROWSER', 'the browser did not let this page reach the agent on this ' +
      'computer: local-network access was denied for this site', { cause: failure });
  }
  if (await scope.run(agentAnswers(agent, scope))) {
    const origin = globalThis.location ? globalThis.location.origin : 'this page';
    throw new QeltAgentError('NOT_ALLOWED', `the agent is running at ${agent} but its administrator has not ` +
      `allowed this site (${origin}) to read the addresses`, { cause: failure });
  }
  let message = `nothing answered at ${agent}: the agent is not running or not installed`;
  // Firefox says "prompt" after a denial, and every browser gives a denied request
  // the same error as a closed port: from a public page the two look alike.
  if (permission !== 'granted' && !pageIsLocal()) {
    message += ', or the browser blocked this page\'s access to the local network (the browser does not say which)';
  }
  throw new QeltAgentError('NOT_RUNNING', message, { cause: failure });
}

export async function getMacAddresses({ timeout = 3000, transport = 'auto', signal, agent = DEFAULT_AGENT } = {}) {
  if (!TRANSPORTS.includes(transport)) {
    throw new TypeError(`qelt-agent-client: transport must be one of ${TRANSPORTS.join(', ')}, not ${transport}`);
  }
  if (!(timeout > 0)) throw new TypeError(`qelt-agent-client: timeout must be a positive number of ms, not ${timeout}`);
  const origin = agentOrigin(agent);
  const scope = callScope(timeout, signal);
  try {
    const canFetch = typeof fetch === 'function';
    const canJsonp = typeof document !== 'undefined';
    let failure;
    if (transport !== 'jsonp' && canFetch) {
      try {
        return await scope.run(askWithFetch(origin, scope));
      } catch (error) {
        if (!(error instanceof Unreachable)) throw error;
        failure = error;
      }
    }
    // A fetch can fail where a script still loads (a page whose Content-Security-Policy
    // allows the agent in script-src only, a fetch wrapper adding headers).
    if (transport !== 'fetch' && canJsonp) {
      try {
        return await scope.run(askWithJsonp(origin, scope));
      } catch (error) {
        if (!(error instanceof Unreachable)) throw error;
        failure = error;
      }
    }
    if (!failure) {
      throw new TypeError(`qelt-agent-client: transport '${transport}' cannot work here: ` +
        (canFetch ? 'no document for a script element' : 'no fetch'));
    }
    if (!canFetch) {
      throw new QeltAgentError('NOT_RUNNING', `the script from ${origin} did not load: the agent is not running, ` +
        'or it refused this site (without fetch this browser cannot tell which)', { cause: failure });
    }
    return await explain(origin, scope, failure);
  } finally {
    scope.end();
  }
}

export async function probe({ timeout = 3000, signal, agent = DEFAULT_AGENT } = {}) {
  const origin = agentOrigin(agent);
  const scope = callScope(timeout, signal);
  try {
    const permission = await scope.run(permissionState());
    const running = typeof fetch === 'function' && await scope.run(agentAnswers(origin, scope))
      .catch((error) => {
        if (error instanceof QeltAgentError) return false;
        throw error;
      });
    return { running, permission };
  } finally {
    scope.end();
  }
}
