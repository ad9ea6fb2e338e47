// The x-y plots (uPlot): SWR with its 2:1 and 1.5:1 lines and the lowest-SWR marker, R, X and |Z|,
// and return loss. Each shows the live sweep over the reference sweep; the cursors move together.
import uPlot from './vendor/uplot/uPlot.esm.js';

const LIVE = '#1565c0';
const REF = '#9aa3b2';
const SWR_VIEW_MAX = 10;

function liveSeries(label, stroke) {
  return { label, stroke, width: 2, spanGaps: true, points: { show: false } };
}
function refSeries(label, stroke) {
  return { label, stroke, width: 1.5, dash: [6, 4], spanGaps: true, points: { show: false } };
}

const fmt = (d) => (u, v) => (v == null ? '—' : v.toFixed(d));

export class Charts {
  constructor(onCursor) {
    this.live = null;  // {f, swr, r, x, z, rl}
    this.ref = null;
    this.xRange = null;  // the live sweep's span, fixed while it fills
    this.viewRange = null;
    this.best = null;  // {f, swr}
    this.onCursor = onCursor;
    const sync = { key: 'zel', setSeries: false };
    const self = this;
    const common = (el, height) => ({
      width: el.clientWidth || 600,
      height,
      cursor: { sync, drag: { x: false, y: false } },
      scales: {
        x: {
          time: false,
          range: (u, lo, hi) => self.viewRange || [lo ?? 0, hi ?? 1],
        },
      },
      axes: [{ label: 'MHz', values: (u, vals) => vals.map((v) => +v.toFixed(4)) }, {}],
      legend: { live: true },
      hooks: {
        setCursor: [(u) => {
          const i = u.cursor.idx;
          if (i != null) self.onCursor(u.data[0][i]);
        }],
      },
    });

    const swrEl = document.getElementById('plot-swr');
    this.swr = new uPlot({
      ...common(swrEl, 330),
      scales: {
        ...common(swrEl, 330).scales,
        y: { range: (u, lo, hi) => [1, Math.min(SWR_VIEW_MAX, Math.max(3, (hi ?? 3) * 1.05))] },
      },
      series: [{ label: 'MHz', value: fmt(4) }, { ...liveSeries('SWR', LIVE), value: fmt(3) },
        { ...refSeries('reference', REF), value: fmt(3) }],
      hooks: {
        ...common(swrEl, 330).hooks,
        draw: [(u) => self.drawSwrMarks(u)],
      },
    }, [[], [], []], swrEl);

    const zEl = document.getElementById('plot-z');
    this.z = new uPlot({
      ...common(zEl, 240),
      series: [{ label: 'MHz', value: fmt(4) },
        { ...liveSeries('R', '#d62728'), value: fmt(2) },
        { ...liveSeries('X', '#2ca02c'), value: fmt(2) },
        { ...liveSeries('|Z|', '#7b3fb5'), value: fmt(2) },
        { ...refSeries('R ref', '#e8a0a0'), value: fmt(2) },
        { ...refSeries('X ref', '#a0d0a0'), value: fmt(2) },
        { ...refSeries('|Z| ref', '#c4a8e0'), value: fmt(2) }],
    }, [[], [], [], [], [], [], []], zEl);

    const rlEl = document.getElementById('plot-rl');
    this.rl = new uPlot({
      ...common(rlEl, 240),
      scales: { ...common(rlEl, 240).scales, y: { dir: 1, range: (u, lo, hi) => [0, Math.max(20, Math.ceil(((hi ?? 20) + 2) / 5) * 5)] } },
      series: [{ label: 'MHz', value: fmt(4) }, { ...liveSeries('RL', LIVE), value: fmt(2) },
        { ...refSeries('reference', REF), value: fmt(2) }],
    }, [[], [], []], rlEl);

    this.plots = [[this.swr, swrEl], [this.z, zEl], [this.rl, rlEl]];
    const ro = new ResizeObserver(() => {
      for (const [u, el] of this.plots) {
        const w = el.clientWidth;
        if (w && w !== u.width) u.setSize({ width: w, height: u.height });
      }
    });
    for (const [, el] of this.plots) ro.observe(el);
    this.pending = false;
  }

  drawSwrMarks(u) {
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    ctx.save();
    ctx.beginPath();
    ctx.rect(left, top, width, height);
    ctx.clip();
    // uPlot leaves its axis text settings on the context.
    ctx.textAlign = 'left';
    ctx.textBaseline = 'bottom';
    for (const [v, color] of [[2, '#ef6c00'], [1.5, '#2e7d32']]) {
      const y = u.valToPos(v, 'y', true);
      ctx.strokeStyle = color;
      ctx.lineWidth = 1.2 * devicePixelRatio;
      ctx.setLineDash([6 * devicePixelRatio, 4 * devicePixelRatio]);
      ctx.beginPath();
      ctx.moveTo(left, y);
      ctx.lineTo(left + width, y);
      ctx.stroke();
      ctx.fillStyle = color;
      ctx.font = `${11 * devicePixelRatio}px system-ui, sans-serif`;
      ctx.fillText(v === 2 ? '2:1' : '1.5:1', left + 4 * devicePixelRatio, y - 3 * devicePixelRatio);
    }
    ctx.setLineDash([]);
    if (this.best) {
      const x = u.valToPos(this.best.f, 'x', true);
      const y = u.valToPos(this.best.swr, 'y', true);
      ctx.fillStyle = '#c62828';
      ctx.beginPath();
      ctx.arc(x, y, 5 * devicePixelRatio, 0, 2 * Math.PI);
      ctx.fill();
      ctx.font = `bold ${12 * devicePixelRatio}px system-ui, sans-serif`;
      const label = `${this.best.swr.toFixed(2)} @ ${this.best.f.toFixed(3)} MHz`;
      const tw = ctx.measureText(label).width;
      const tx = Math.min(Math.max(x - tw / 2, left + 2), left + width - tw - 2);
      const ty = y - 9 * devicePixelRatio;
      ctx.fillStyle = 'rgba(255, 255, 255, 0.85)';
      ctx.fillRect(tx - 3, ty - 14 * devicePixelRatio, tw + 6, 17 * devicePixelRatio);
      ctx.fillStyle = '#c62828';
      ctx.fillText(label, tx, ty);
    }
    ctx.restore();
  }

  setLive(live, xRange, best) {
    this.live = live;
    this.xRange = xRange;
    this.best = best;
    this.schedule();
  }

  setReference(ref) {
    this.ref = ref;
    this.schedule();
  }

  schedule() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.render();
    });
  }

  render() {
    const L = this.live || { f: [], swr: [], r: [], x: [], z: [], rl: [] };
    const R = this.ref;
    let range = this.xRange;
    if (R && R.f.length) {
      const lo = Math.min(R.f[0], range ? range[0] : Infinity);
      const hi = Math.max(R.f[R.f.length - 1], range ? range[1] : -Infinity);
      range = [lo, hi];
    }
    // One frequency (a sweep of one point) still gets a visible span.
    this.viewRange = range && range[0] < range[1] ? range : range ? [range[0] - 0.5, range[1] + 0.5] : null;
    const join = (live, ref) => (R ? uPlot.join([live, ref]) : [...live, ...ref.slice(1).map(() => live[0].map(() => null))]);
    const empty = (n) => [[], ...Array(n).fill([])];
    const refOr = (cols) => (R ? [R.f, ...cols.map((k) => R[k])] : empty(cols.length));
    this.swr.setData(join([L.f, L.swr], refOr(['swr'])));
    this.z.setData(join([L.f, L.r, L.x, L.z], refOr(['r', 'x', 'z'])));
    this.rl.setData(join([L.f, L.rl], refOr(['rl'])));
  }

  // The three plots stacked, for the PNG download.
  canvases() {
    return this.plots.map(([u]) => u.ctx.canvas);
  }
}
