// The heap explorer's steps one at a time once the page has loaded; long scripts are stopped
// before the server refuses their request line.
'use strict';
(function () {
  var menu = document.getElementById('example');
  if (menu) menu.addEventListener('change', function () { if (menu.value) menu.form.submit(); });
  var form = document.getElementById('run');
  var lineMax = Number(form.dataset.lineMax);  // the server's limit, written by the module
  form.addEventListener('submit', function (e) {
    var text = form.elements.script.value.replace(/\r\n|\r|\n/g, '\r\n');
    var line = 'GET ' + new URL(form.action).pathname + '?' +
        new URLSearchParams({ script: text }).toString() + ' HTTP/1.1';
    var note = document.getElementById('toolong');
    if (line.length <= lineMax) { note.hidden = true; return; }
    e.preventDefault();
    note.textContent = 'This script is too long to send: encoded, it makes a request line of ' +
        line.length + ' bytes, and the server takes ' + lineMax + ' at most. Shorten it by about ' +
        Math.ceil((line.length - lineMax) * 100 / line.length) + '%.';
    note.hidden = false;
  });
  var steps = document.querySelectorAll('.step');
  var nav = document.getElementById('stepper');
  if (!nav || steps.length === 0) return;
  var prev = document.getElementById('prev'), next = document.getElementById('next');
  var position = document.getElementById('position');
  var at = 0;
  function show(i) {
    at = Math.max(0, Math.min(steps.length - 1, i));
    for (var j = 0; j < steps.length; j++) steps[j].hidden = j !== at;
    position.textContent = 'Step ' + (at + 1) + ' of ' + steps.length;
    prev.disabled = at === 0;
    next.disabled = at === steps.length - 1;
  }
  prev.addEventListener('click', function () { show(at - 1); });
  next.addEventListener('click', function () { show(at + 1); });
  document.addEventListener('keydown', function (e) {
    var tag = e.target.tagName;
    if (tag === 'TEXTAREA' || tag === 'INPUT' || tag === 'SELECT' || e.altKey || e.ctrlKey ||
        e.metaKey)
      return;
    if (e.key === 'ArrowLeft' || e.key === 'ArrowUp') show(at - 1);
    else if (e.key === 'ArrowRight' || e.key === 'ArrowDown') show(at + 1);
    else if (e.key === 'Home') show(0);
    else if (e.key === 'End') show(steps.length - 1);
    else return;
    e.preventDefault();
  });
  nav.hidden = false;
  show(0);
})();
