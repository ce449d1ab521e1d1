// The X-Y plot in mm that the live page and the control panel share: round tick steps, the frame
// with equal mm per pixel on both axes, and the planned path of a G-code job drawn as SVG. No
// network and no state of its own; the pages call it with their own SVG groups.
'use strict';
const plotMm = (() => {
  const SVG = 'http://www.w3.org/2000/svg';

  // 1, 2 or 5 times a power of ten, about `span / count` mm (svg::NiceStep's rule).
  function niceStep(span, count) {
    const raw = Math.max(span, 1e-9) / Math.max(1, count);
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    const unit = [1, 2, 5].find((m) => m * power >= raw) || 10;
    return unit * power;
  }

  // The whole multiples of step inside [low, high], at most 50, each from its index (a running
  // sum drifts off the round values); the rule of the SVG plots' scale (gcode/report/svg_scale.cpp).
  function ticks(low, high, step) {
    const out = [];
    for (let k = Math.ceil(low / step - 1e-9); k * step <= high + step * 1e-9 && out.length < 50; k++) {
      const v = k * step;
      out.push(Math.abs(v) < step * 1e-9 ? 0 : v);
    }
    return out;
  }

  function svgNode(name, attributes, parent) {
    const node = document.createElementNS(SVG, name);
    for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
    if (parent) parent.appendChild(node);
    return node;
  }

  const fmtTick = (value) => String(Math.round(value * 1000) / 1000) + ' mm';

  // Lays out a 640 x 480 plot over [min, max] (mm, X and Y first), ticks every 1, 2 or 5 × 10^k
  // mm, drawn into `grid` (emptied first). Returns the mapping {px, py} from mm to pixels.
  function layout(grid, min, max) {
    const width = 640, height = 480, left = 70, right = 18, top = 14, bottom = 42;
    let [x0, y0, x1, y1] = [min[0], min[1], max[0], max[1]];
    if (x1 - x0 < 1) { x0 -= 0.5; x1 += 0.5; }
    if (y1 - y0 < 1) { y0 -= 0.5; y1 += 0.5; }
    const padX = (x1 - x0) * 0.03, padY = (y1 - y0) * 0.03;
    [x0, x1, y0, y1] = [x0 - padX, x1 + padX, y0 - padY, y1 + padY];
    const plotW = width - left - right, plotH = height - top - bottom;
    const scale = Math.min(plotW / (x1 - x0), plotH / (y1 - y0));
    const ox = left + (plotW - (x1 - x0) * scale) / 2;
    const oy = top + (plotH - (y1 - y0) * scale) / 2;
    const frame = {px: (x) => ox + (x - x0) * scale, py: (y) => oy + (y1 - y) * scale};
    grid.textContent = '';
    const step = niceStep(Math.max(x1 - x0, y1 - y0), 8);
    for (const x of ticks(x0, x1, step)) {
      svgNode('line', {class: 'grid', x1: frame.px(x), x2: frame.px(x), y1: frame.py(y0), y2: frame.py(y1)}, grid);
      svgNode('text', {class: 'tick tick-x', x: frame.px(x), y: frame.py(y0) + 14, 'text-anchor': 'middle'}, grid)
          .textContent = fmtTick(x);
    }
    for (const y of ticks(y0, y1, step)) {
      svgNode('line', {class: 'grid', x1: frame.px(x0), x2: frame.px(x1), y1: frame.py(y), y2: frame.py(y)}, grid);
      svgNode('text', {class: 'tick tick-y', x: frame.px(x0) - 6, y: frame.py(y) + 4, 'text-anchor': 'end'}, grid)
          .textContent = fmtTick(y);
    }
    svgNode('rect', {class: 'axis', x: frame.px(x0), y: frame.py(y1), width: (x1 - x0) * scale,
                     height: (y1 - y0) * scale, fill: 'none'}, grid);
    svgNode('text', {x: frame.px(x1), y: frame.py(y0) + 32, 'text-anchor': 'end'}, grid).textContent = 'X (mm)';
    svgNode('text', {x: 4, y: frame.py(y1) - 2}, grid).textContent = 'Y (mm)';
    return frame;
  }

  // A plan's path ({purposes, points: [[x, y, z, purpose, aux, line], ...]}): one SVG path per
  // run of one style (rapids dashed, moves to stored positions and homing dotted, cuts solid),
  // marks for dwells, pauses and tool changes. Both groups are emptied first.
  function drawPlanned(group, marks, plan, frame) {
    group.textContent = '';
    marks.textContent = '';
    const names = plan.purposes;
    const style = (purpose) => {
      const name = names[purpose];
      if (name === 'rapid') return 'planned rapid';
      if (name === 'stored' || name === 'reference' || name === 'resume') return 'planned travel';
      return 'planned';
    };
    const isMark = (purpose) => ['dwell', 'pause', 'toolChange'].includes(names[purpose]);
    let run = null;
    let d = '';
    const flush = () => { if (run !== null && d) svgNode('path', {class: run, d}, group); d = ''; };
    const points = plan.points;
    for (let i = 1; i < points.length; ++i) {
      const [x, y, , purpose, , line] = points[i];
      const [fx, fy] = points[i - 1];
      if (isMark(purpose)) {
        const mark = svgNode('circle', {class: 'mark ' + names[purpose], cx: frame.px(x), cy: frame.py(y), r: 4}, marks);
        svgNode('title', {}, mark).textContent = names[purpose] + ' (line ' + line + ')';
        continue;
      }
      const kind = style(purpose);
      if (kind !== run) { flush(); run = kind; d = 'M' + frame.px(fx).toFixed(1) + ' ' + frame.py(fy).toFixed(1); }
      d += 'L' + frame.px(x).toFixed(1) + ' ' + frame.py(y).toFixed(1);
    }
    flush();
    group.setAttribute('data-points', String(points.length));
  }

  return {niceStep, ticks, svgNode, fmtTick, layout, drawPlanned};
})();
