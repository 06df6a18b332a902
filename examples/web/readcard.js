// Reads a card from the local Talvex service and splits its answer.
//
// The service answers GET http://127.0.0.1:10012/readCard with one
// text/plain body: items separated by "|". The first item is the result code:
//   "0|<kind>|field|field|...|<Base64 JPEG>"   a card was read
//   "<code>|<message>"                           it failed (code is not 0)
// Copy this file into your page as it is; it has no dependencies.
(function (global) {
  "use strict";

  // The port Talvex listens on unless it was started with --port N.
  var DEFAULT_PORT = 10012;
  var SERVICE_URL = serviceUrl(DEFAULT_PORT);

  function serviceUrl(port, path) {
    return "http://127.0.0.1:" + (port || DEFAULT_PORT) + (path || "/readCard");
  }

  // Field names and labels per card kind, in the order the service sends them.
  var KINDS = {
    "1": {
      zh: "居民身份证", en: "Resident identity card",
      fields: [
        ["name", "姓名", "Name"],
        ["genderCode", "性别代码", "Gender code"],
        ["gender", "性别", "Gender"],
        ["nationCode", "民族代码", "Ethnic group code"],
        ["nation", "民族", "Ethnic group"],
        ["birthDate", "出生日期", "Date of birth"],
        ["address", "住址", "Address"],
        ["idNumber", "公民身份号码", "ID number"],
        ["issuingAuthority", "签发机关", "Issuing authority"],
        ["validFrom", "有效期起", "Valid from"],
        ["validTo", "有效期止", "Valid to"]
      ]
    },
    "2": {
      zh: "外国人永久居留身份证", en: "Foreign permanent resident ID card",
      fields: [
        ["englishName", "英文姓名", "Name in English"],
        ["genderCode", "性别代码", "Gender code"],
        ["gender", "性别", "Gender"],
        ["cardNumber", "证件号码", "Card number"],
        ["nationalityCode", "国籍代码", "Nationality code"],
        ["nationality", "国籍", "Nationality"],
        ["chineseName", "中文姓名", "Name in Chinese"],
        ["validFrom", "有效期起", "Valid from"],
        ["validTo", "有效期止", "Valid to"],
        ["birthDate", "出生日期", "Date of birth"],
        ["cardVersion", "证件版本", "Card version"],
        ["authorityCode", "签发机关代码", "Issuing authority code"],
        ["authority", "签发机关", "Issuing authority"]
      ]
    },
    "3": {
      zh: "港澳台居民居住证", en: "Residence permit for Hong Kong, Macao and Taiwan residents",
      fields: [
        ["name", "姓名", "Name"],
        ["genderCode", "性别代码", "Gender code"],
        ["gender", "性别", "Gender"],
        ["birthDate", "出生日期", "Date of birth"],
        ["address", "住址", "Address"],
        ["idNumber", "公民身份号码", "ID number"],
        ["issuingAuthority", "签发机关", "Issuing authority"],
        ["validFrom", "有效期起", "Valid from"],
        ["validTo", "有效期止", "Valid to"],
        ["passNumber", "通行证号码", "Pass number"],
        ["issueCount", "签发次数", "Issue count"]
      ]
    }
  };

  // Splits a body into {ok:true, kind, kindInfo, fields:[{name,zh,en,value}], photo}
  // or {ok:false, code, message}.
  function parseCardResponse(body) {
    var parts = body.split("|");
    var code = parseInt(parts[0], 10);
    if (isNaN(code)) {
      return { ok: false, code: -1, message: "无法识别的应答 / Unrecognised answer: " + body.slice(0, 80) };
    }
    if (code !== 0) {
      return { ok: false, code: code, message: parts.slice(1).join("|") };
    }
    var info = KINDS[parts[1]];
    if (!info) {
      return { ok: false, code: -1, message: "未知证件类型 / Unknown card kind " + parts[1] };
    }
    // Items: code, kind, the fields, then the photo behind the last "|".
    var fields = info.fields.map(function (f, i) {
      return { name: f[0], zh: f[1], en: f[2], value: parts[2 + i] || "" };
    });
    var photo = parts[parts.length - 1];
    return { ok: true, kind: parts[1], kindInfo: info, fields: fields, photo: photo };
  }

  // A plain GET with no custom headers and no credentials: browsers send it
  // without a preflight, and the service allows every origin. `port` is
  // optional: the service's port when it is not 10012.
  function readCard(port) {
    return fetch(serviceUrl(port), { method: "GET", cache: "no-store" }).then(
      function (response) { return response.text().then(parseCardResponse); },
      function (error) {
        var e = new Error("服务未运行 / Talvex service not reachable");
        e.notRunning = true;
        e.cause = error;
        throw e;
      });
  }

  // Waits for cards: onCard(result) once for every card placed on the reader,
  // onProblem(result) when reading fails ({ok:false, code, message}; code 1:
  // no reader), onProblem(null) when the service cannot be reached. Uses the
  // service's event stream (GET /events); where the browser has no
  // EventSource it asks /readCard every second and reports a card when a read
  // succeeds after one that did not. Returns a function that stops waiting.
  function waitForCards(port, onCard, onProblem) {
    if (typeof EventSource === "function") {
      var source = new EventSource(serviceUrl(port, "/events"));
      source.addEventListener("card", function (e) { onCard(parseCardResponse(e.data)); });
      source.addEventListener("error", function (e) {
        // A MessageEvent with data is the service's own "event: error";
        // without data it is the browser telling that the connection failed
        // (it reconnects by itself).
        onProblem(typeof e.data === "string" ? parseCardResponse(e.data) : null);
      });
      return function () { source.close(); };
    }
    var stopped = false, hadCard = false, lastCode = null;
    function poll() {
      if (stopped) return;
      readCard(port).then(function (result) {
        if (result.ok) {
          if (!hadCard) onCard(result);
          hadCard = true;
          lastCode = 0;
        } else {
          hadCard = false;
          // 128: no card on the reader, which is not a problem while waiting.
          if (result.code !== 128 && result.code !== lastCode) onProblem(result);
          lastCode = result.code;
        }
      }, function () {
        lastCode = null;
        onProblem(null);
      }).then(function () { if (!stopped) setTimeout(poll, 1000); });
    }
    poll();
    return function () { stopped = true; };
  }

  global.TalvexCard = {
    DEFAULT_PORT: DEFAULT_PORT, SERVICE_URL: SERVICE_URL, serviceUrl: serviceUrl, KINDS: KINDS,
    parseCardResponse: parseCardResponse, readCard: readCard, waitForCards: waitForCards
  };
})(window);
