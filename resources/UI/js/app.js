// The Korvane page: renders the state document the native side pushes and turns the user's
// input into bridge requests. Every request marks its button as busy and shows the error
// text the native side answers with, word for word.
(function () {
  'use strict';
  var $ = function (id) { return document.getElementById(id); };
  var state = null;
  // The connection request under way from this page: null, 'connect', 'switch' or 'disconnect'.
  var pending = null;
  // The state document has no flag for a node-test run. A run starts by forgetting every
  // result and then reports the nodes one by one, so one is under way while some nodes have
  // a result and others none, unless a connect stopped it (its partial results stay).
  var testsMayRun = false;
  // The node the user picked and has not connected to yet; a push must not undo the choice.
  var chosenNode = null;

  // ---- requests ----------------------------------------------------------------------

  function clear(el) { if (el) el.textContent = ''; }

  // Runs one action with `button` marked busy, `errorEl` receiving the failure text.
  function run(button, action, arg, errorEl) {
    clear(errorEl);
    if (button) { button.disabled = true; button.setAttribute('aria-busy', 'true'); }
    return window.korvane.request(action, arg).then(function (value) {
      return value;
    }, function (error) {
      if (errorEl) errorEl.textContent = error && error.message ? error.message : String(error);
      throw error;
    }).finally(function () {
      if (button) { button.disabled = false; button.removeAttribute('aria-busy'); }
    });
  }

  // Actions answering with the state document re-render from it; the push that follows
  // carries the same document.
  function runForState(button, action, arg, errorEl) {
    return run(button, action, arg, errorEl).then(function (value) {
      if (value && typeof value === 'object' && 'loggedIn' in value) render(value);
      return value;
    });
  }

  function ignore() {}

  // ---- formatting ----------------------------------------------------------------------

  function bytes(n) {
    if (typeof n !== 'number' || !isFinite(n)) return '—';
    var units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB'];
    var i = 0;
    while (Math.abs(n) >= 1024 && i < units.length - 1) { n /= 1024; i++; }
    return (i === 0 ? n.toFixed(0) : n.toFixed(n >= 100 ? 0 : 2)) + ' ' + units[i];
  }

  function date(seconds) {
    var d = new Date(seconds * 1000);
    var pad = function (v) { return (v < 10 ? '0' : '') + v; };
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate());
  }

  function expiryText(o) {
    if (!o.expiryKnown) return '未知';
    if (o.expiresAt === null) return '长期有效';
    var days = Math.ceil((o.expiresAt * 1000 - Date.now()) / 86400000);
    if (days < 0) return date(o.expiresAt) + '（已过期）';
    return date(o.expiresAt) + '（剩余 ' + days + ' 天）';
  }

  function resetText(o) {
    if (!o.resetKnown) return '未知';
    if (o.nextResetAt !== null) return date(o.nextResetAt);
    if (o.resetDays !== null) return o.resetDays + ' 天后';
    return '不重置';
  }

  // ---- rendering -----------------------------------------------------------------------

  function show(el, visible) { el.classList.toggle('hidden', !visible); }

  function render(s) {
    if (!s || typeof s !== 'object') return;
    state = s;
    $('app').setAttribute('aria-busy', 'false');
    show($('booting'), false);
    var wasLoggedIn = !$('dashboardView').classList.contains('hidden');
    show($('loginView'), !s.loggedIn);
    show($('dashboardView'), !!s.loggedIn);
    if (!s.loggedIn) renderLogin(s); else renderDashboard(s);
    if (s.loggedIn && !wasLoggedIn) $('connectButton').focus();
    // Asked once signed in, where the connection it is about is in view.
    var askConsent = !!s.loggedIn && !s.qualityConsentAnswered;
    if (askConsent && $('consentDialog').classList.contains('hidden')) {
      show($('consentDialog'), true);
      $('consentYes').focus();
    } else if (!askConsent) {
      show($('consentDialog'), false);
    }
    $('qualitySwitch').checked = !!s.qualityEnabled;
    $('versionText').textContent = s.version || '';
    $('buildText').textContent = String(s.build === undefined ? '' : s.build);
  }

  function renderLogin(s) {
    // Pre-fill only empty fields so that a push never overwrites what the user is typing.
    ['loginEmail', 'codeEmail', 'resetEmail'].forEach(function (id) {
      if (!$(id).value && s.email) $(id).value = s.email;
    });
    $('rememberPassword').checked = $('rememberCode').checked = s.rememberCredentials !== false;
  }

  function renderDashboard(s) {
    $('accountEmail').textContent = s.email || '';
    var o = s.accountOverview;
    if (o) {
      $('planName').textContent = o.hasPlan ? '当前套餐' : '暂无套餐';
      var used = o.usedBytes, total = o.totalBytes;
      var pct = (typeof used === 'number' && typeof total === 'number' && total > 0)
        ? Math.min(100, Math.round(used / total * 100)) : 0;
      $('trafficFill').style.width = pct + '%';
      $('trafficBar').setAttribute('aria-valuenow', String(pct));
      $('trafficBar').classList.toggle('full', pct >= 100);
      $('trafficText').textContent = '已用 ' + bytes(used) + ' / 共 ' + bytes(total);
      $('expiryText').textContent = expiryText(o);
      $('resetText').textContent = resetText(o);
    } else {
      $('planName').textContent = '正在读取账户信息…';
      $('trafficFill').style.width = '0';
      $('trafficText').textContent = '';
      $('expiryText').textContent = '—';
      $('resetText').textContent = '—';
    }
    $('refreshFailed').textContent = s.accountRefreshFailed ? '账户信息刷新失败，显示的是上次的数据。' : '';

    renderConnection(s);

    ['modeSmart', 'modeGlobal'].forEach(function (id) {
      var on = $(id).getAttribute('data-mode') === s.routingMode;
      $(id).setAttribute('aria-checked', on ? 'true' : 'false');
      $(id).tabIndex = on ? 0 : -1;
    });

    renderNodes(s);
  }

  var pendingText = { connect: '正在连接…', 'switch': '正在切换节点…', disconnect: '正在断开…' };

  function renderConnection(s) {
    var status = $('connectionStatus');
    if (pending) status.textContent = pendingText[pending];
    else if (s.connected) status.textContent = s.socksReady ? '已连接' : '已连接（本地端口未就绪）';
    else status.textContent = '未连接';
    status.classList.toggle('on', !!s.connected && !pending);
    status.classList.toggle('busy', !!pending);
    $('connectionNode').textContent = s.connected && s.selectedNode ? '使用节点：' + s.selectedNode : '';

    var button = $('connectButton');
    button.textContent = pending ? pendingText[pending] : (s.connected ? '断开' : '连接');
    button.classList.toggle('primary', !s.connected);
    button.classList.toggle('stop', !!s.connected);
    $('socksAddress').textContent = (s.socksHost || '127.0.0.1') + ':' + (s.socksPort || 7897);
    $('socksRow').classList.toggle('live', !!s.connected && !!s.socksReady);
  }

  function renderNodeTests(s, nodes) {
    var total = nodes.length;
    var done = 0, available = 0;
    nodes.forEach(function (n) {
      if (typeof n.available !== 'boolean') return;
      done += 1;
      if (n.available) available += 1;
    });
    if (s.connected || pending === 'connect') testsMayRun = false;
    else if (done === 0) testsMayRun = true;
    var running = testsMayRun && !s.connected && done > 0 && done < total;
    var text = '';
    if (running) text = '正在检测 ' + done + '/' + total;
    else if (total > 0 && done === total) text = '可用 ' + available + '/' + total;
    $('nodeTestText').textContent = text;
    show($('nodeTestBar'), running);
    var pct = total > 0 ? Math.round(done / total * 100) : 0;
    $('nodeTestFill').style.width = pct + '%';
    $('nodeTestBar').setAttribute('aria-valuenow', String(pct));
  }

  function renderNodes(s) {
    var list = $('nodeList');
    var nodes = Array.isArray(s.nodes) ? s.nodes : [];
    renderNodeTests(s, nodes);
    var inUse = s.connected ? s.selectedNode : null;
    var focusedName = document.activeElement && document.activeElement.parentNode === list
      ? document.activeElement.getAttribute('data-name') : null;
    list.textContent = '';
    show($('nodesEmpty'), nodes.length === 0);
    if (chosenNode === s.selectedNode || !nodes.some(function (n) { return n.name === chosenNode; })) chosenNode = null;
    var current = chosenNode || s.selectedNode;
    $('selectedNodeText').textContent = current ? '当前节点：' + current : '尚未选择节点';
    var hasSelection = nodes.some(function (n) { return n.name === current; });
    nodes.forEach(function (node, index) {
      var li = document.createElement('li');
      li.setAttribute('role', 'option');
      li.setAttribute('data-name', node.name);
      var selected = node.name === current;
      li.setAttribute('aria-selected', selected ? 'true' : 'false');
      li.tabIndex = (selected || (!hasSelection && index === 0)) ? 0 : -1;

      var text = document.createElement('div');
      text.className = 'text';
      var name = document.createElement('div');
      name.className = 'name';
      name.textContent = node.name;
      var meta = document.createElement('div');
      meta.className = 'meta';
      meta.textContent = node.type + ' · ' + node.host + ':' + node.port;
      text.appendChild(name);
      text.appendChild(meta);

      var badge = document.createElement('span');
      badge.className = 'badge';
      if (node.available === true) { badge.classList.add('ok'); badge.textContent = '可用'; }
      else if (node.available === false) { badge.classList.add('bad'); badge.textContent = '不可用'; }
      else badge.textContent = '未测试';

      li.appendChild(text);
      var label = node.name + '，' + node.type + '，' + badge.textContent;
      if (node.name === inUse) {
        var tag = document.createElement('span');
        tag.className = 'tag';
        tag.textContent = '使用中';
        li.appendChild(tag);
        li.classList.add('in-use');
        label += '，使用中';
      }
      li.appendChild(badge);
      li.setAttribute('aria-label', label);
      list.appendChild(li);
      if (focusedName === node.name) li.focus();
    });
  }

  // ---- native calls --------------------------------------------------------------------

  window.__korvaneState = render;

  window.__korvaneUpdateProgress = function (p) {
    if (!p || typeof p !== 'object') return;
    $('updateText').textContent = typeof p.text === 'string' ? p.text : '';
    var pct = typeof p.progress === 'number' ? p.progress : -1;
    var bar = $('updateProgress');
    if (pct >= 0 && pct <= 100) {
      show(bar, true);
      $('updateFill').style.width = pct + '%';
      $('updateBar').setAttribute('aria-valuenow', String(pct));
    } else {
      show(bar, false);
    }
  };

  // ---- sign-in -------------------------------------------------------------------------

  function selectTab(code) {
    $('tabPassword').setAttribute('aria-selected', code ? 'false' : 'true');
    $('tabCode').setAttribute('aria-selected', code ? 'true' : 'false');
    $('tabPassword').tabIndex = code ? -1 : 0;
    $('tabCode').tabIndex = code ? 0 : -1;
    show($('passwordForm'), !code);
    show($('codeForm'), code);
  }
  $('tabPassword').addEventListener('click', function () { selectTab(false); });
  $('tabCode').addEventListener('click', function () { selectTab(true); });
  document.querySelector('.tabs').addEventListener('keydown', function (e) {
    if (e.key !== 'ArrowLeft' && e.key !== 'ArrowRight') return;
    var code = $('tabPassword').getAttribute('aria-selected') === 'true';
    selectTab(code);
    (code ? $('tabCode') : $('tabPassword')).focus();
    e.preventDefault();
  });

  $('passwordForm').addEventListener('submit', function (e) {
    e.preventDefault();
    runForState($('loginButton'), 'login', {
      email: $('loginEmail').value, password: $('loginPassword').value,
      remember: $('rememberPassword').checked
    }, $('passwordError')).then(function () { $('loginPassword').value = ''; }, ignore);
  });

  // The code buttons count down a minute after a code was sent, so users do not ask twice.
  function cooldown(button, label) {
    var left = 60;
    button.disabled = true;
    var tick = function () {
      if (left <= 0) { button.disabled = false; button.textContent = label; return; }
      button.textContent = left + ' 秒后重发';
      left -= 1;
      setTimeout(tick, 1000);
    };
    tick();
  }

  $('sendLoginCode').addEventListener('click', function () {
    clear($('codeNote'));
    run($('sendLoginCode'), 'sendLoginCode', { email: $('codeEmail').value }, $('codeError')).then(function () {
      $('codeNote').textContent = '验证码已发送，请查收邮件。';
      cooldown($('sendLoginCode'), '发送验证码');
      $('codeInput').focus();
    }, ignore);
  });

  $('codeForm').addEventListener('submit', function (e) {
    e.preventDefault();
    clear($('codeNote'));
    runForState($('codeLoginButton'), 'loginWithCode', {
      email: $('codeEmail').value, code: $('codeInput').value, remember: $('rememberCode').checked
    }, $('codeError')).then(function () { $('codeInput').value = ''; }, ignore);
  });

  function showReset(on) {
    show($('loginPanels'), !on);
    show($('resetForm'), on);
    if (on) {
      if (!$('resetEmail').value) $('resetEmail').value = $('loginEmail').value;
      $('resetEmail').focus();
    } else {
      $('loginEmail').focus();
    }
  }
  $('showReset').addEventListener('click', function () { showReset(true); });
  $('backToLogin').addEventListener('click', function () { showReset(false); });

  $('sendResetCode').addEventListener('click', function () {
    clear($('resetNote'));
    run($('sendResetCode'), 'sendResetCode', { email: $('resetEmail').value }, $('resetError')).then(function () {
      $('resetNote').textContent = '验证码已发送，请查收邮件。';
      cooldown($('sendResetCode'), '发送验证码');
      $('resetCode').focus();
    }, ignore);
  });

  $('resetForm').addEventListener('submit', function (e) {
    e.preventDefault();
    clear($('resetNote'));
    run($('resetButton'), 'resetPassword', {
      email: $('resetEmail').value, code: $('resetCode').value, password: $('resetPassword').value
    }, $('resetError')).then(function () {
      $('resetPassword').value = '';
      $('resetCode').value = '';
      $('loginEmail').value = $('resetEmail').value.trim();
      showReset(false);
      selectTab(false);
      $('passwordError').textContent = '';
      $('loginPassword').focus();
    }, ignore);
  });

  // ---- dashboard -----------------------------------------------------------------------

  function selectedOrFirst() {
    if (!state) return '';
    var nodes = state.nodes || [];
    var chosen = document.querySelector('#nodeList li[aria-selected="true"]');
    if (chosen) return chosen.getAttribute('data-name');
    return state.selectedNode || (nodes[0] ? nodes[0].name : '');
  }

  function chooseNode(li) {
    chosenNode = li.getAttribute('data-name');
    Array.prototype.forEach.call($('nodeList').children, function (other) {
      other.setAttribute('aria-selected', other === li ? 'true' : 'false');
      other.tabIndex = other === li ? 0 : -1;
    });
    $('selectedNodeText').textContent = '当前节点：' + li.getAttribute('data-name');
    // While connected, picking another node switches to it at once.
    if (state && state.connected && !pending && li.getAttribute('data-name') !== state.selectedNode) connect();
  }

  $('nodeList').addEventListener('click', function (e) {
    var li = e.target.closest('li');
    if (li) chooseNode(li);
  });
  $('nodeList').addEventListener('keydown', function (e) {
    var li = e.target.closest('li');
    if (!li) return;
    var next = null;
    if (e.key === 'ArrowDown') next = li.nextElementSibling;
    else if (e.key === 'ArrowUp') next = li.previousElementSibling;
    else if (e.key === 'Enter' || e.key === ' ') { chooseNode(li); e.preventDefault(); return; }
    if (next) { li.tabIndex = -1; next.tabIndex = 0; next.focus(); e.preventDefault(); }
  });

  // One connection request at a time from this page; its progress shows on the button and
  // in the status line, its failure in the banner like every other action's.
  function request(kind, action, arg) {
    pending = kind;
    if (state) render(state);
    runForState($('connectButton'), action, arg, $('globalError')).catch(function () {
      // A failed switch leaves the connection on the node it had; the list shows that one again.
      if (kind === 'switch') chosenNode = null;
    }).finally(function () { pending = null; if (state) render(state); });
  }

  function connect() {
    request(state && state.connected ? 'switch' : 'connect', 'connect', { nodeName: selectedOrFirst() });
  }

  $('connectButton').addEventListener('click', function () {
    if (pending) return;
    if (state && state.connected) request('disconnect', 'disconnect', {});
    else connect();
  });

  ['modeSmart', 'modeGlobal'].forEach(function (id) {
    $(id).addEventListener('click', function () {
      var mode = $(id).getAttribute('data-mode');
      if (state && state.routingMode === mode) return;
      runForState($(id), 'setMode', { mode: mode }, $('globalError')).catch(ignore);
    });
  });
  document.querySelector('.segmented').addEventListener('keydown', function (e) {
    if (e.key !== 'ArrowLeft' && e.key !== 'ArrowRight') return;
    var target = e.target.id === 'modeSmart' ? $('modeGlobal') : $('modeSmart');
    target.focus();
    target.click();
    e.preventDefault();
  });

  $('refreshNodes').addEventListener('click', function () {
    clear($('dashNote'));
    runForState($('refreshNodes'), 'refreshNodes', {}, $('globalError')).then(function () {
      $('dashNote').textContent = '节点已刷新';
    }, ignore);
  });

  $('copySocks').addEventListener('click', function () {
    clear($('dashNote'));
    run($('copySocks'), 'copySocks', {}, $('globalError')).then(function () {
      $('dashNote').textContent = '已复制本地代理地址';
    }, ignore);
  });

  [['openOfficial', 'openOfficial'], ['openRenew', 'openRenew'], ['openSupport', 'openSupport']]
    .forEach(function (pair) {
      $(pair[0]).addEventListener('click', function () {
        run($(pair[0]), pair[1], {}, $('globalError')).catch(ignore);
      });
    });

  $('logoutButton').addEventListener('click', function () {
    if (!window.confirm('确定要退出登录吗？')) return;
    runForState($('logoutButton'), 'logout', {}, $('globalError')).catch(ignore);
  });

  // ---- consent and settings --------------------------------------------------------------

  function answerConsent(enabled, button, errorEl) {
    return runForState(button, 'setQualityConsent', { enabled: enabled }, errorEl);
  }
  $('consentYes').addEventListener('click', function () {
    answerConsent(true, $('consentYes'), $('consentError')).catch(ignore);
  });
  $('consentNo').addEventListener('click', function () {
    answerConsent(false, $('consentNo'), $('consentError')).catch(ignore);
  });

  var settingsOpener = null;
  function openSettings() {
    settingsOpener = document.activeElement;
    show($('settingsModal'), true);
    $('qualitySwitch').focus();
  }
  function closeSettings() {
    show($('settingsModal'), false);
    if (settingsOpener && settingsOpener.focus) settingsOpener.focus();
  }
  $('openSettings').addEventListener('click', openSettings);
  $('closeSettings').addEventListener('click', closeSettings);
  $('settingsModal').addEventListener('click', function (e) { if (e.target === $('settingsModal')) closeSettings(); });
  document.addEventListener('keydown', function (e) {
    if (e.key === 'Escape' && !$('settingsModal').classList.contains('hidden')) closeSettings();
    if (e.key === 'Tab') keepFocusInDialog(e);
  });

  // Tab and Shift-Tab cycle inside an open dialog instead of reaching the page behind it.
  function keepFocusInDialog(e) {
    var dialogs = document.querySelectorAll('.overlay:not(.hidden)');
    if (!dialogs.length) return;
    var dialog = dialogs[dialogs.length - 1];
    var focusable = Array.prototype.filter.call(dialog.querySelectorAll('button, input'), function (el) {
      return !el.disabled && el.getClientRects().length > 0;
    });
    if (!focusable.length) return;
    var first = focusable[0], last = focusable[focusable.length - 1];
    if (!dialog.contains(document.activeElement)) { first.focus(); e.preventDefault(); }
    else if (e.shiftKey && document.activeElement === first) { last.focus(); e.preventDefault(); }
    else if (!e.shiftKey && document.activeElement === last) { first.focus(); e.preventDefault(); }
  }

  $('qualitySwitch').addEventListener('change', function () {
    var wanted = $('qualitySwitch').checked;
    answerConsent(wanted, $('qualitySwitch'), $('qualityError')).catch(function () {
      $('qualitySwitch').checked = !wanted;
    });
  });

  $('updateButton').addEventListener('click', function () {
    clear($('updateText'));
    show($('updateProgress'), false);
    run($('updateButton'), 'checkUpdate', { manual: true }, $('updateError')).catch(ignore);
  });

  // ---- start ---------------------------------------------------------------------------

  // The push after loading renders the page; asking once more covers a push that came
  // before this script ran.
  window.korvane.request('bootstrap').then(render, function (error) {
    $('booting').textContent = error && error.message ? error.message : String(error);
  });
})();
