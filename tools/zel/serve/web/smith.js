// The Smith chart on a canvas: the grid of constant resistance and reactance against 50 ohms, the
// 2:1 SWR circle, and traces of the reflection coefficient. uPlot draws x-y plots only.

const R_CIRCLES = [0.2, 0.5, 1, 2, 5];
const X_ARCS = [0.2, 0.5, 1, 2, 5];

export class SmithChart {
  constructor(canvas) {
    this.canvas = canvas;
    this.traces = [];  // {points: [[re, im], ...], color, width, dash}
    this.marker = null;  // [re, im]
    new ResizeObserver(() => this.draw()).observe(canvas);
  }

  setTraces(traces) {
    this.traces = traces;
    this.draw();
  }

  setMarker(gamma) {
    this.marker = gamma;
    this.draw();
  }

  draw() {
    const c = this.canvas;
    const dpr = window.devicePixelRatio || 1;
    const w = c.clientWidth, h = c.clientHeight;
    if (!w || !h) return;
    if (c.width !== Math.round(w * dpr) || c.height !== Math.round(h * dpr)) {
      c.width = Math.round(w * dpr);
      c.height = Math.round(h * dpr);
    }
    const ctx = c.getContext('2d');
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, h);
    const rad = Math.min(w, h) / 2 - 34;  // room for the reactance labels
    const cx = w / 2, cy = h / 2;
    // Reflection coefficient to canvas; the imaginary axis points up.
    const at = (re, im) => [cx + re * rad, cy - im * rad];

    ctx.save();
    ctx.beginPath();
    ctx.arc(cx, cy, rad, 0, 2 * Math.PI);
    ctx.fillStyle = '#fbfcfe';
    ctx.fill();
    ctx.clip();
    ctx.lineWidth = 1;
    ctx.strokeStyle = '#d5dae2';
    ctx.font = '10px system-ui, sans-serif';
    ctx.fillStyle = '#8a93a3';
    // Constant resistance r: centre (r/(r+1), 0), radius 1/(r+1).
    for (const r of R_CIRCLES) {
      const [x, y] = at(r / (r + 1), 0);
      ctx.beginPath();
      ctx.arc(x, y, rad / (r + 1), 0, 2 * Math.PI);
      ctx.stroke();
    }
    // Constant reactance x: centre (1, 1/x), radius 1/|x|.
    for (const xv of X_ARCS) {
      for (const s of [1, -1]) {
        const [x, y] = at(1, s / xv);
        ctx.beginPath();
        ctx.arc(x, y, rad / xv, 0, 2 * Math.PI);
        ctx.stroke();
      }
    }
    ctx.beginPath();
    ctx.moveTo(cx - rad, cy);
    ctx.lineTo(cx + rad, cy);
    ctx.stroke();
    // SWR 2:1: |gamma| = 1/3.
    ctx.setLineDash([4, 4]);
    ctx.strokeStyle = '#ef6c00';
    ctx.beginPath();
    ctx.arc(cx, cy, rad / 3, 0, 2 * Math.PI);
    ctx.stroke();
    ctx.setLineDash([]);
    ctx.restore();

    ctx.strokeStyle = '#7d8797';
    ctx.lineWidth = 1.2;
    ctx.beginPath();
    ctx.arc(cx, cy, rad, 0, 2 * Math.PI);
    ctx.stroke();

    // Labels: resistance on the real axis, reactance around the rim, in ohms.
    ctx.fillStyle = '#7d8797';
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    for (const r of R_CIRCLES) {
      const [x, y] = at((r - 1) / (r + 1), 0);
      ctx.fillText(String(r * 50), x, y + 2);
    }
    for (const xv of X_ARCS) {
      for (const s of [1, -1]) {
        // Where the arc meets the rim: gamma = (jx - 1) / (jx + 1).
        const den = 1 + xv * xv;
        const re = (xv * xv - 1) / den, im = (2 * s * xv) / den;
        // Just outside the rim, the text leaning away from the circle so that no label runs
        // into the chart or off a narrow canvas.
        const [x, y] = [cx + re * (rad + 4), cy - im * (rad + 4)];
        ctx.textAlign = re > 0.2 ? 'left' : re < -0.2 ? 'right' : 'center';
        ctx.textBaseline = im > 0.2 ? 'bottom' : im < -0.2 ? 'top' : 'middle';
        ctx.fillText(`${s > 0 ? '+' : '−'}j${xv * 50}`, x, y);
      }
    }

    for (const t of this.traces) {
      if (!t.points.length) continue;
      ctx.strokeStyle = t.color;
      ctx.lineWidth = t.width || 2;
      ctx.setLineDash(t.dash || []);
      ctx.beginPath();
      t.points.forEach(([re, im], i) => {
        const [x, y] = at(re, im);
        if (i) ctx.lineTo(x, y);
        else ctx.moveTo(x, y);
      });
      ctx.stroke();
      ctx.setLineDash([]);
    }
    if (this.marker) {
      const [x, y] = at(this.marker[0], this.marker[1]);
      ctx.fillStyle = '#c62828';
      ctx.beginPath();
      ctx.arc(x, y, 4.5, 0, 2 * Math.PI);
      ctx.fill();
    }
  }

  // A copy for the PNG download.
  get image() {
    return this.canvas;
  }
}
