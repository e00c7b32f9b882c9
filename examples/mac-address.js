// Reads this computer's MAC addresses from the qelt agent (a local program
// listening on http://127.0.0.1:17654) and shows them.
//
// Copy what you need: askWithFetch() and askWithJsonp() are the two ways in,
// readAnswer() turns the agent's answer into a state, and show() puts it on the page.
//
// Query parameters (for trying things out and for tests):
//   agent=http://127.0.0.1:PORT   another agent port (loopback addresses only)
//   mode=jsonp                    skip fetch, use JSONP only
//   mode=custom-header            a fetch with a custom header, which the browser refuses
(function () {
  'use strict';

  var DEFAULT_AGENT = 'http://127.0.0.1:17654';
  var TIMEOUT_MS = 5000;

  var params = new URLSearchParams(window.location.search);
  var agent = loopbackOrigin(params.get('agent')) || DEFAULT_AGENT;
  var mode = params.get('mode') || 'auto';

  // The override is loaded as a script on the JSONP path: a link to this page must not
  // be able to name any other server, so only an origin on this computer is taken.
  function loopbackOrigin(text) {
    if (!text) return null;
    var url;
    try { url = new URL(text); } catch (e) { return null; }
    var loopback = url.hostname === '127.0.0.1' || url.hostname === 'localhost' || url.hostname === '[::1]';
    if (url.protocol !== 'http:' || !loopback || url.username || url.password) return null;
    return url.origin;
  }

  // A failure that says what went wrong, in the page's words.
  function failure(kind, detail) {
    var error = new Error(detail || kind);
    error.kind = kind;
    return error;
  }

  // The recommended path: a plain GET with no custom headers, so the browser
  // sends no CORS preflight. The agent answers with Access-Control-Allow-Origin: *,
  // or, when its administrator restricted it to some sites, with this page's origin
  // if it is one of them (and with a bare 403 if not).
  function askWithFetch(extraHeaders) {
    var controller = new AbortController();
    var timer = setTimeout(function () { controller.abort(); }, TIMEOUT_MS);
    var init = { signal: controller.signal, cache: 'no-store' };
    if (extraHeaders) init.headers = extraHeaders;
    return fetch(agent + '/mac', init).then(function (response) {
      if (!response.ok) throw failure('bad-answer', 'HTTP status ' + response.status);
      return response.json().catch(function () {
        throw failure('bad-answer', 'the answer is not JSON');
      });
    }, function (error) {
      // The browser gives no reason here: refused connection, CORS refusal and a
      // blocked local-network request all look the same from JavaScript.
      if (error && error.name === 'AbortError') throw failure('no-answer', 'no answer in ' + TIMEOUT_MS + ' ms');
      throw failure('refused', String(error));
    }).finally(function () { clearTimeout(timer); });
  }

  // The fallback: JSONP through a <script> element, which needs no CORS. The agent
  // always calls the global function macCallback, so only one request can be
  // in flight at a time, and a failed load tells nothing but "error".
  var jsonpBusy = false;
  function askWithJsonp() {
    if (jsonpBusy) return Promise.reject(failure('refused', 'a JSONP request is already in flight'));
    jsonpBusy = true;
    return new Promise(function (resolve, reject) {
      var script = document.createElement('script');
      var answered = false;
      var timer = setTimeout(function () { finish(failure('no-answer', 'no answer in ' + TIMEOUT_MS + ' ms')); }, TIMEOUT_MS);
      function finish(error, envelope) {
        if (!jsonpBusy) return;
        jsonpBusy = false;
        clearTimeout(timer);
        script.remove();
        // A late script must still find a function to call.
        window.macCallback = function () {};
        if (error) reject(error); else resolve(envelope);
      }
      window.macCallback = function (envelope) {
        answered = true;
        finish(null, envelope);
      };
      script.onerror = function () { finish(failure('refused', 'the script did not load')); };
      // load fires after the script ran: a script that did not call macCallback is no answer.
      script.onload = function () {
        if (!answered) finish(failure('bad-answer', 'the script did not call macCallback'));
      };
      // A script carries no Origin: an agent restricted to some sites goes by the Referer,
      // which an https:// page sends to http://127.0.0.1 only when asked to.
      script.referrerPolicy = 'origin';
      script.src = agent + '/macp';
      document.head.appendChild(script);
    });
  }

  // Chrome 142+ asks the user before a public page may reach this computer's
  // loopback address; the permission is "local-network-access" there and
  // "loopback-network" from Chromium 145 on. Other browsers know neither name.
  function localNetworkPermission() {
    if (!navigator.permissions || !navigator.permissions.query) return Promise.resolve('unknown');
    var names = ['loopback-network', 'local-network-access'];
    function next(i) {
      if (i >= names.length) return Promise.resolve('unknown');
      return navigator.permissions.query({ name: names[i] }).then(function (status) {
        return status.state;
      }, function () { return next(i + 1); });
    }
    return next(0);
  }

  // After fetch and JSONP both failed: did the agent answer at all? A no-cors fetch
  // needs no CORS header, so it resolves (with an empty, opaque response) when
  // anything answered, a refusal included, and fails when nothing listens. It carries
  // no Origin: the Referer names this site to the agent, from an https:// page too.
  function agentAnswers() {
    if (!window.fetch || !window.AbortController) return Promise.resolve(false);
    var controller = new AbortController();
    var timer = setTimeout(function () { controller.abort(); }, TIMEOUT_MS);
    var init = { mode: 'no-cors', cache: 'no-store', referrerPolicy: 'origin', signal: controller.signal };
    return fetch(agent + '/mac', init)
      .then(function () { return true; }, function () { return false; })
      .finally(function () { clearTimeout(timer); });
  }

  // Why neither way in worked. A denied local-network permission stops every request,
  // the probe included, so it is asked first. Outside a secure context (a plain http://
  // site) the browser says "denied" for any permission, whether or not it stopped anything.
  function explainFailure() {
    return localNetworkPermission().then(function (permission) {
      if (permission === 'denied' && window.isSecureContext) return blocked();
      return agentAnswers().then(function (answered) { return answered ? notAllowed() : notRunning(); });
    });
  }

  function pageIsLocal() {
    var host = window.location.hostname;
    return window.location.protocol === 'file:' || host === 'localhost' || host === '[::1]' ||
      /^127\./.test(host) || /\.localhost$/.test(host);
  }

  // The agent's answer is {"success": true, "data": [MAC, ...]} or
  // {"success": false, "data": "could not find mac address"}.
  function readAnswer(envelope, via) {
    if (envelope && envelope.success === true && Array.isArray(envelope.data)) {
      if (envelope.data.length === 0) {
        return show('empty', via, 'The agent is running but found no adapter to report: it lists only ' +
          'working Ethernet and Wi-Fi adapters whose name does not contain "virtual".');
      }
      return show('ok', via, envelope.data.length === 1 ? 'One address.' : envelope.data.length + ' addresses.',
        envelope.data);
    }
    if (envelope && envelope.success === false) {
      return show('lookup-failed', via, 'The agent is running but could not read the adapter list ' +
        '(it said: "' + envelope.data + '").');
    }
    return show('bad-answer', via, 'The agent gave an answer this page does not understand.');
  }

  function gaveUp(error, via) {
    if (error.kind === 'no-answer') {
      return show('no-answer', via, 'The agent did not answer within ' + TIMEOUT_MS / 1000 + ' seconds. ' +
        'If the browser asked whether this site may reach devices on your local network, allow it and reload.');
    }
    return show('bad-answer', via, 'The agent gave an answer this page does not understand (' + error.message + ').');
  }

  function blocked() {
    return show('blocked', '-', 'The browser did not let this page reach the agent on this computer: ' +
      'local-network access was denied for this site. Allow it in the site settings ' +
      '(the lock icon beside the address) and reload.');
  }

  // The agent answers with a bare 403 to a site its administrator did not list.
  function notAllowed() {
    var origin = window.location.origin;
    var site = origin && origin !== 'null' ? 'this site (' + origin + ')' :
      'this page (it has no origin: open it from a web site, not from a file)';
    return show('not-allowed', '-', 'The qelt agent is running at ' + agent + ' but does not let ' + site +
      ' read the addresses: its administrator has allowed only certain web sites. ' +
      'Ask them to add this site\'s origin to the agent\'s allowed origins.');
  }

  function notRunning() {
    var text = 'The qelt agent did not answer at ' + agent + '. It is not running or not installed: ' +
      'its MSI (qelt-agent-<version>-x64.msi) installs it as a service that starts with Windows; ' +
      'if it is installed, start it with net start "qelt agent service" (as administrator).';
    if (!pageIsLocal()) {
      text += ' If it is running, the browser may have blocked this page: a page from a public site ' +
        'reaches the agent only over HTTPS and only after you allow local-network access when asked.';
    }
    return show('not-running', '-', text);
  }

  function show(state, via, message, macs) {
    var status = document.getElementById('status');
    status.textContent = state;
    status.setAttribute('data-state', state);
    document.getElementById('via').textContent = via;
    document.getElementById('via-line').hidden = via === '-';
    document.getElementById('message').textContent = message;
    var list = document.getElementById('macs');
    list.textContent = '';
    (macs || []).forEach(function (mac) {
      var item = document.createElement('li');
      item.textContent = mac;
      list.appendChild(item);
    });
  }

  function run() {
    document.getElementById('agent').textContent = agent;

    if (mode === 'jsonp') {
      return askWithJsonp().then(function (envelope) { readAnswer(envelope, 'jsonp'); }, function (error) {
        if (error.kind !== 'refused') return gaveUp(error, 'jsonp');
        return explainFailure();
      });
    }

    if (mode === 'custom-header') {
      // What not to do: any custom header (or Content-Type: application/json) makes the
      // browser send a preflight first, and the agent's preflight answer allows no headers.
      return askWithFetch({ 'X-Requested-With': 'mac-address-example' }).then(function (envelope) {
        readAnswer(envelope, 'fetch');
      }, function (error) {
        if (error.kind !== 'refused') return gaveUp(error, 'fetch');
        show('refused', 'fetch', 'The browser refused the fetch that carried a custom header ' +
          '(X-Requested-With): the agent answers the preflight without Access-Control-Allow-Headers. ' +
          'Send a plain GET instead. (If the agent is not running, this fetch fails the same way.)');
      });
    }

    return askWithFetch().then(function (envelope) { readAnswer(envelope, 'fetch'); }, function (error) {
      if (error.kind !== 'refused') return gaveUp(error, 'fetch');
      // fetch was refused: try JSONP before concluding anything.
      return askWithJsonp().then(function (envelope) { readAnswer(envelope, 'jsonp'); }, function (jsonpError) {
        if (jsonpError.kind !== 'refused') return gaveUp(jsonpError, 'jsonp');
        return explainFailure();
      });
    });
  }

  run().catch(function (error) {
    show('bad-answer', '-', 'Unexpected error: ' + error);
  });
})();
