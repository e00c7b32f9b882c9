// Reads this computer's MAC addresses from the qelt agent (a local program
// listening on http://127.0.0.1:17654) through the client module, and shows them.
//
// The module does the asking and names every failure (err.code); what is left here is
// telling the user what each one means. See README.md for the codes.
//
// Query parameters (for trying things out and for tests):
//   agent=http://127.0.0.1:PORT   another agent port (loopback addresses only)
//   mode=jsonp                    skip fetch, use JSONP only
//   mode=custom-header            a fetch with a custom header, which the browser refuses
import { getMacAddresses } from '../clients/js/qelt-agent-client.js';

const DEFAULT_AGENT = 'http://127.0.0.1:17654';
const TIMEOUT_MS = 5000;

const params = new URLSearchParams(window.location.search);
const agent = params.get('agent') || DEFAULT_AGENT;
const mode = params.get('mode') || 'auto';

function pageIsLocal() {
  const host = window.location.hostname;
  return window.location.protocol === 'file:' || host === 'localhost' || host === '[::1]' ||
    /^127\./.test(host) || /\.localhost$/.test(host);
}

// What the user is told for each of the module's codes: [state, message].
function explain(error) {
  switch (error.code) {
    case 'NO_ADAPTER_LIST':
      return ['lookup-failed', 'The agent is running but could not read the adapter list (' + error.message + ').'];
    case 'NOT_ALLOWED':
      return ['not-allowed', 'The qelt agent is running at ' + agent + ' but does not let this site (' +
        window.location.origin + ') read the addresses: its administrator has allowed only certain web sites. ' +
        'Ask them to add this site\'s origin to the agent\'s allowed origins.'];
    case 'BLOCKED_BY_BROWSER':
      return ['blocked', 'The browser did not let this page reach the agent on this computer: ' +
        'local-network access was denied for this site. Allow it in the site settings ' +
        '(the icon beside the address) and reload.'];
    case 'TIMEOUT':
      return ['no-answer', 'The agent did not answer within ' + TIMEOUT_MS / 1000 + ' seconds. ' +
        'If the browser asked whether this site may reach devices on your local network, allow it and reload.'];
    case 'NOT_RUNNING': {
      let text = 'The qelt agent did not answer at ' + agent + '. It is not running or not installed: ' +
        'its MSI (qelt-agent-<version>-x64.msi) installs it as a service that starts with Windows; ' +
        'if it is installed, start it with net start "qelt agent service" (as administrator).';
      if (!pageIsLocal()) {
        text += ' If it is running, the browser may have blocked this page (it does not say which): a page ' +
          'from a public site reaches the agent only over HTTPS and only after you allow local-network access.';
      }
      return ['not-running', text];
    }
    default:
      return ['bad-answer', 'The agent gave an answer this page does not understand (' + error.message + ').'];
  }
}

// Which way in answered: the module tries fetch first; a /macp load means JSONP did.
function answeredVia() {
  return performance.getEntriesByType('resource').some((entry) => entry.name === agent + '/macp') ? 'jsonp' : 'fetch';
}

function show(state, via, message, macs) {
  const status = document.getElementById('status');
  status.textContent = state;
  status.setAttribute('data-state', state);
  document.getElementById('via').textContent = via;
  document.getElementById('via-line').hidden = via === '-';
  document.getElementById('message').textContent = message;
  document.getElementById('macs').replaceChildren(...(macs || []).map((mac) => {
    const item = document.createElement('li');
    item.textContent = mac;
    return item;
  }));
}

// What not to do: any custom header (or Content-Type: application/json) makes the
// browser send a preflight first, and the agent's preflight answer allows no headers.
async function customHeader() {
  try {
    await fetch(agent + '/mac', { headers: { 'X-Requested-With': 'mac-address-example' }, cache: 'no-store' });
    show('bad-answer', 'fetch', 'The fetch with a custom header got through: this is not the agent.');
  } catch (error) {
    show('refused', 'fetch', 'The browser refused the fetch that carried a custom header ' +
      '(X-Requested-With): the agent answers the preflight without Access-Control-Allow-Headers. ' +
      'Send a plain GET instead. (If the agent is not running, this fetch fails the same way.)');
  }
}

async function run() {
  document.getElementById('agent').textContent = agent;
  if (mode === 'custom-header') return customHeader();
  try {
    const macs = await getMacAddresses({ agent, timeout: TIMEOUT_MS, transport: mode === 'jsonp' ? 'jsonp' : 'auto' });
    const via = answeredVia();
    if (macs.length === 0) {
      return show('empty', via, 'The agent is running but found no adapter to report: it lists only ' +
        'working Ethernet and Wi-Fi adapters whose name does not contain "virtual".');
    }
    return show('ok', via, macs.length === 1 ? 'One address.' : macs.length + ' addresses.', macs);
  } catch (error) {
    const [state, message] = explain(error);
    return show(state, '-', message);
  }
}

run().catch((error) => show('bad-answer', '-', 'Unexpected error: ' + error));
