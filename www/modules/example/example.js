// Example interface module: reads two registers through the page's gateway client.
(function () {
  const root = document.querySelector('[data-module="example"] .example-module');
  if (!root || !window.brio) return;
  const error = root.querySelector('.example-error');

  async function refresh() {
    const reply = await window.brio.ajax('readRegisters', { regAddr: 0, valuesCnt: 2 });
    if (reply.error !== undefined) {
      error.textContent = reply.error || 'The gateway gave no answer.';
      return;
    }
    error.textContent = '';
    let values = [];
    try { values = JSON.parse(reply.text); } catch { values = []; }
    for (const out of root.querySelectorAll('.example-value')) {
      const v = values[Number(out.dataset.reg)];
      out.textContent = v === undefined ? '–' : String(v);
    }
  }

  root.querySelector('.example-refresh').addEventListener('click', refresh);
})();
