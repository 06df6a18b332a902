// The page around readcard.js: one button, the fields with their labels, the photo.
(function () {
  "use strict";

  var button = document.getElementById("read");
  var waitButton = document.getElementById("wait");
  var status = document.getElementById("status");
  var card = document.getElementById("card");
  var photo = document.getElementById("photo");
  var fields = document.getElementById("fields");
  var kind = document.getElementById("kind");

  // index.html?port=N talks to a Talvex started with --port N (for example
  // beside an installed one that has 10012).
  var port = Number(new URLSearchParams(window.location.search).get("port"));
  if (!(Number.isInteger(port) && port >= 1 && port <= 65535)) port = TalvexCard.DEFAULT_PORT;

  function show(text, cls) {
    status.textContent = text;
    status.className = cls || "";
  }

  function render(result) {
    kind.textContent = result.kindInfo.zh + " / " + result.kindInfo.en;
    fields.textContent = "";
    result.fields.forEach(function (f) {
      var row = document.createElement("tr");
      row.dataset.field = f.name;
      var th = document.createElement("th");
      th.textContent = f.zh;
      var small = document.createElement("small");
      small.textContent = f.en;
      th.appendChild(small);
      var td = document.createElement("td");
      td.textContent = f.value;  // text, never HTML: card data is not trusted markup
      row.appendChild(th);
      row.appendChild(td);
      fields.appendChild(row);
    });
    photo.src = "data:image/jpeg;base64," + result.photo;
    card.hidden = false;
  }

  // "Wait for a card": every card placed on the reader is shown as it comes.
  var stopWaiting = null;
  waitButton.addEventListener("click", function () {
    if (stopWaiting) {
      stopWaiting();
      stopWaiting = null;
      waitButton.textContent = "等待放卡 / Wait for a card";
      button.disabled = false;
      show("");
      return;
    }
    button.disabled = true;
    waitButton.textContent = "停止等待 / Stop waiting";
    show("请放卡… / Place a card on the reader…");
    stopWaiting = TalvexCard.waitForCards(port, function (result) {
      if (result.ok) {
        render(result);
        show("读卡成功，可放下一张 / Card read — place the next one", "ok");
      } else {
        show("读卡失败 / Read failed — " + result.code + ": " + result.message, "error");
      }
    }, function (problem) {
      if (problem) {
        show("读卡失败 / Read failed — " + problem.code + ": " + problem.message, "error");
      } else {
        show("无法连接读卡服务，正在重试（端口 " + port + "） / " +
             "Cannot reach the card service, retrying (port " + port + ")", "hint");
      }
    });
  });

  button.addEventListener("click", function () {
    button.disabled = true;
    card.hidden = true;
    show("正在读卡… / Reading…");
    TalvexCard.readCard(port).then(function (result) {
      if (result.ok) {
        render(result);
        show("读卡成功 / Card read", "ok");
      } else {
        show("读卡失败 / Read failed — " + result.code + ": " + result.message, "error");
      }
    }, function (error) {
      // The browser does not say whether nothing listens or it blocked the
      // request itself; module.html (on the talvex-card library) tells more.
      show("无法连接读卡服务：请确认 Talvex 已启动（端口 " + port + "），并且浏览器允许本页访问本机" +
           "（本地网络访问）。 / Cannot reach the card service: make sure Talvex is running (port " +
           port + ") and that the browser lets this page reach this computer (local network access).",
           "hint");
      console.warn(error);
    }).then(function () { button.disabled = false; });
  });
})();
