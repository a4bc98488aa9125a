// NativeInterop over fetch: the page object of the script bridge, for a page
// served by `keelson serve`. The page's first call trades the one-time ticket
// in the fragment of the address it was opened with (#ticket=..., which the
// browser sends to no server) for the session token. The token is kept in
// sessionStorage only, so reloading the tab keeps working although the ticket
// is spent; the ticket is taken out of the address. Calls answer Promises;
// notifications arrive by polling "callbacks" every 200 ms and reach
// window.DispatchInteropCallback one record at a time.
(function () {
  'use strict';
  const kTokenKey = 'keelson-token';
  let session = null;  // the Promise of the token

  async function post(name, headers, body) {
    const answer = await fetch('/instances/' + name, {
      method: 'POST',
      headers: Object.assign({'Content-Type': 'application/json'}, headers),
      body: JSON.stringify(body),
      cache: 'no-store',
    });
    if (!answer.ok) throw new Error(name + ' answered ' + answer.status);
    const text = await answer.text();
    return text ? JSON.parse(text) : null;
  }

  async function trade() {
    const kept = sessionStorage.getItem(kTokenKey);
    if (kept) return kept;
    const fragment = new URLSearchParams(location.hash.slice(1));
    const ticket = fragment.get('ticket');
    fragment.delete('ticket');
    history.replaceState(null, '', '#' + fragment.toString());
    const token = (await post('session', {}, {ticket})).token;
    sessionStorage.setItem(kTokenKey, token);
    return token;
  }

  async function call(name, body) {
    if (session === null) session = trade();
    return post(name, {'X-Keelson-Token': await session}, body);
  }

  async function poll() {
    try {
      const answer = await call('callbacks', {});
      for (const batch of answer.batches) {
        for (const record of batch) {
          if (typeof window.DispatchInteropCallback === 'function') {
            window.DispatchInteropCallback(record);
          }
        }
      }
    } catch (error) {
      console.log('poll: ' + error);
    }
    setTimeout(poll, 200);
  }

  window.NativeInterop = {
    // The new instance's id, or null.
    createInstance: async (className, instanceId) => {
      const answer = await call('createInstance', {className, instanceId});
      return answer.returnValue ? answer.instanceId : null;
    },
    hasInstance: async (instanceId) => (await call('hasInstance', {instanceId})).returnValue,
    releaseInstance: async (instanceId) =>
      (await call('releaseInstance', {instanceId})).returnValue,
    // The method's answer document ({"returnValue": ...}), or null.
    invoke: async (instanceId, methodBinding) => call('invoke', {
      instanceId,
      methodBinding: typeof methodBinding === 'string' ? methodBinding :
                                                         JSON.stringify(methodBinding),
    }),
    hash: async (text) => (await call('hash', {text})).returnValue,
    startPolling: () => poll(),
  };
})();
