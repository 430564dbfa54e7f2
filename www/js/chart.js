// Live chart of polled registers on uPlot (vendor/uplot, copied from npm at build time).

const palette = ['#1f6feb', '#d9480f', '#2b8a3e', '#9c36b5', '#e67700', '#0c8599', '#c2255c', '#5c940d'];
const keep = 600; // points per series; older ones scroll out

export class LiveChart {
  constructor(host, onCount) {
    this.host = host;
    this.onCount = onCount;
    this.keys = [];
    this.xs = [];
    this.ys = [];
    this.paused = false;
    this.plot = null;
    this.available = typeof globalThis.uPlot === 'function';
    if (this.available) {
      new ResizeObserver(() => this.plot && this.plot.setSize(this.size())).observe(host);
    }
  }

  size() {
    return { width: Math.max(200, this.host.clientWidth), height: Math.max(160, Math.min(280, this.host.clientWidth * 0.4)) };
  }

  // Series follow the rows ticked in the table; a new set starts a new chart.
  setSeries(keys, label, force = false) {
    if (!force && keys.join() === this.keys.join()) return;
    this.keys = keys;
    this.clear(label);
  }

  clear(label = this.label || ((k) => String(k)), timeLabel = this.timeLabel || 'Time') {
    this.label = label;
    this.timeLabel = timeLabel;
    this.xs = [];
    this.ys = this.keys.map(() => []);
    if (!this.available) return this.count();
    if (this.plot) this.plot.destroy();
    this.plot = null;
    if (!this.keys.length) return this.count();
    const opts = {
      ...this.size(),
      scales: { x: { time: true } },
      legend: { show: true, live: false },
      series: [{ label: this.timeLabel }, ...this.keys.map((k, i) => ({ label: this.label(k), stroke: palette[i % palette.length], width: 2 }))],
      axes: [{}, { size: 60 }],
    };
    this.plot = new globalThis.uPlot(opts, [this.xs, ...this.ys], this.host);
    return this.count();
  }

  push(seconds, valueOf) {
    if (this.paused || !this.keys.length) return;
    this.xs.push(seconds);
    this.keys.forEach((k, i) => this.ys[i].push(valueOf(k)));
    if (this.xs.length > keep) {
      this.xs.shift();
      this.ys.forEach((y) => y.shift());
    }
    if (this.plot) {
      this.plot.setData([this.xs, ...this.ys]);
      // At least a ten-second window, set outright: uPlot's own range for a
      // single point spans years.
      const last = this.xs[this.xs.length - 1];
      this.plot.setScale('x', { min: Math.min(this.xs[0], last - 10), max: last });
    }
    this.count();
  }

  count() {
    this.onCount(this.xs.length);
  }
}
