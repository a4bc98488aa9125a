// NativeInterop over fetch: the page object of the script bridge, for a page
// served by `keelson serve`. The token comes from the fragment of the address
// the page was opened with (#token=...), which the browser sends to no
// server. Calls answer Promises; notifications arrive by polling
// "callbacks" every 200 ms and reach window.DispatchInteropCallback one
// record at a time.
(function () {
  'use strict';
  const fragment = new URLSearchParams(location.hash.slice(1));
  const token = fragment.get('token');

  async function call(name, body) {
    const answer = await fetch('/instances/' + name, {
      method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-Keelson-Token': token},
      body: JSON.stringify(body),
      cache: 'no-store',
    });
    if (!answer.ok) throw new Error(name + ' answered ' + answer.status);
    const text = await answer.text();
    return text ? JSON.parse(text) : null;
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
