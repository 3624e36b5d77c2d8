import QtQuick 2.0
import QtTest 1.2
import QuickFuture 1.0
import QuickPromise 1.0

TestCase {
    id: testCase
    name: "Future"

    Item {
        id: target
        property bool isRunning: false
        property bool isFinished: false
        property bool busy: false
    }

    // What a callback attached to a future saw.
    function listen(attach) {
        var seen = { calls: 0, args: [] };
        attach(function() {
            seen.calls += 1;
            seen.args = Array.prototype.slice.call(arguments);
        });
        return seen;
    }

    function test_stateQueries_data() {
        return [
            { tag: "ready", make: function() { return futureSource.readyString("a"); },
              finished: true, running: false, canceled: false },
            { tag: "running", make: function() { return futureSource.runningString(); },
              finished: false, running: true, canceled: false },
            { tag: "failed", make: function() { return futureSource.failedString(); },
              finished: true, running: false, canceled: true },
            { tag: "canceled", make: function() { return futureSource.canceledString(); },
              finished: true, running: false, canceled: true },
        ];
    }

    function test_stateQueries(data) {
        var future = data.make();
        compare(Future.isFinished(future), data.finished);
        compare(Future.isRunning(future), data.running);
        compare(Future.isCanceled(future), data.canceled);
    }

    function test_progress() {
        var future = futureSource.runningString();
        var values = [];
        Future.onProgressValueChanged(future, function(value) { values.push(value); });
        futureSource.setStringProgress(0, 90, 40);
        futureSource.setStringProgress(0, 90, 40);
        compare(Future.progressMinimum(future), 0);
        compare(Future.progressMaximum(future), 90);
        compare(Future.progressValue(future), 40);
        tryCompare(values, "length", 1);
        compare(values, [40]);
        // Reaching the maximum is reported even right after another step (Qt throttles the rest).
        futureSource.setStringProgress(0, 90, 90);
        tryCompare(values, "length", 2);
        futureSource.finishString("done");
        wait(30);
        compare(values, [40, 90]);
    }

    // Every built-in adaptor and an object type registered by the program.
    function resultTable() {
        return [
            { tag: "QString", make: function() { return futureSource.readyString("text"); },
              check: function(value) { compare(value, "text"); } },
            { tag: "int", make: function() { return futureSource.readyInt(7); },
              check: function(value) { compare(value, 7); } },
            { tag: "bool", make: function() { return futureSource.readyBool(true); },
              check: function(value) { compare(value, true); } },
            { tag: "qreal", make: function() { return futureSource.readyReal(2.5); },
              check: function(value) { compare(value, 2.5); } },
            { tag: "QByteArray", make: function() { return futureSource.readyBytes("hi"); },
              check: function(value) {
                  var bytes = new Uint8Array(value);
                  compare(bytes.length, 2);
                  compare(bytes[0], 104);
                  compare(bytes[1], 105);
              } },
            { tag: "QVariant", make: function() { return futureSource.readyVariant("inside"); },
              check: function(value) { compare(value, "inside"); } },
            { tag: "QVariantMap", make: function() { return futureSource.readyMap({ a: 1, b: "two" }); },
              check: function(value) { compare(value.a, 1); compare(value.b, "two"); } },
            { tag: "QSize", make: function() { return futureSource.readySize(3, 4); },
              check: function(value) { compare(value.width, 3); compare(value.height, 4); } },
            { tag: "object", make: function() { return futureSource.readyObject("scan-1"); },
              check: function(value) { compare(value.name, "scan-1"); } },
            { tag: "cv::Mat", make: function() { return futureSource.readyImage(5, 4); },
              check: function(value) { compare(futureSource.imageRows(value), 5); } },
        ];
    }

    function test_result_data() {
        return resultTable();
    }

    function test_result(data) {
        data.check(Future.result(data.make()));
    }

    function test_onFinishedGivesTheResult_data() {
        return resultTable();
    }

    function test_onFinishedGivesTheResult(data) {
        var future = data.make();
        var seen = listen(function(callback) { Future.onFinished(future, callback); });
        tryCompare(seen, "calls", 1);
        compare(seen.args.length, 1);
        data.check(seen.args[0]);
    }

    function test_voidFuture() {
        var future = futureSource.readyVoid();
        compare(Future.result(future), undefined);
        compare(Future.results(future), undefined);
        var seen = listen(function(callback) { Future.onFinished(future, callback); });
        tryCompare(seen, "calls", 1);
        compare(seen.args.length, 0);

        var running = futureSource.runningVoid();
        var later = listen(function(callback) { Future.onFinished(running, callback); });
        futureSource.finishVoid();
        tryCompare(later, "calls", 1);
        compare(later.args.length, 0);
    }

    function test_results() {
        compare(Future.results(futureSource.readyStrings(["a", "b", "c"])), ["a", "b", "c"]);
    }

    function test_onFinishedOnFinishedFutureRunsAfterTheCall() {
        var order = [];
        Future.onFinished(futureSource.readyString("x"), function(value) { order.push("callback " + value); });
        order.push("returned");
        compare(order, ["returned"]);
        tryCompare(order, "length", 2);
        compare(order, ["returned", "callback x"]);
    }

    function test_onFinishedWaitsForRunningFuture_data() {
        return [
            { tag: "completed in this thread", finish: function(v) { futureSource.finishString(v); } },
            { tag: "completed in another thread", finish: function(v) { futureSource.finishStringInThread(v); } },
        ];
    }

    function test_onFinishedWaitsForRunningFuture(data) {
        var future = futureSource.runningString();
        var seen = listen(function(callback) { Future.onFinished(future, callback); });
        wait(30);
        compare(seen.calls, 0);
        data.finish("late");
        tryCompare(seen, "calls", 1);
        compare(seen.args, ["late"]);
    }

    function test_onFinishedWithoutResult_data() {
        return [
            { tag: "failed", make: function() { return futureSource.failedString(); } },
            { tag: "canceled", make: function() { return futureSource.canceledString(); } },
            { tag: "failing later", make: function() {
                var future = futureSource.runningString();
                Q.setTimeout(function() { futureSource.failString(); }, 10);
                return future;
            } },
        ];
    }

    function test_onFinishedWithoutResult(data) {
        var future = data.make();
        var seen = listen(function(callback) { Future.onFinished(future, callback); });
        tryCompare(seen, "calls", 1);
        compare(seen.args.length, 1);
        compare(seen.args[0], undefined);
    }

    function test_notCallableCallbackOnlyWarns_data() {
        return [
            { tag: "onFinished", attach: function(f, c) { Future.onFinished(f, c); },
              warning: "Future.onFinished: Callback is not callable" },
            { tag: "onCanceled", attach: function(f, c) { Future.onCanceled(f, c); },
              warning: "Future.onCanceled: Callback is not callable" },
            { tag: "onProgressValueChanged", attach: function(f, c) { Future.onProgressValueChanged(f, c); },
              warning: "Future.onProgressValueChanged: Callback is not callable" },
        ];
    }

    function test_notCallableCallbackOnlyWarns(data) {
        var future = futureSource.runningString();
        ignoreWarning(data.warning);
        data.attach(future, 42);
        ignoreWarning(data.warning);
        data.attach(futureSource.readyString("x"), "not a function");
        futureSource.finishString("done");
        wait(30);
    }

    function test_throwingCallbackIsReported() {
        var future = futureSource.readyString("x");
        var others = 0;
        Future.onFinished(future, function() {
            var error = new Error("kaboom");
            // The bridge reports the error once the callback has returned.
            ignoreWarning(error.fileName + ":" + error.lineNumber + ": Error: kaboom");
            throw error;
        });
        Future.onFinished(future, function() { others += 1; });
        tryVerify(function() { return others === 1; });
        wait(30);
        compare(others, 1);
    }

    function test_resultOfUnfinishedFutureWarns_data() {
        return [
            { tag: "result, running", call: function() { return Future.result(futureSource.runningString()); },
              warning: "Future.result(): The result is not ready!" },
            { tag: "result, failed", call: function() { return Future.result(futureSource.failedString()); },
              warning: "Future.result(): The result is not ready!" },
            { tag: "results, running", call: function() { return Future.results(futureSource.runningString()); },
              warning: "Future.results(): The result is not ready!" },
            { tag: "results, canceled", call: function() { return Future.results(futureSource.canceledString()); },
              warning: "Future.results(): The result is not ready!" },
        ];
    }

    function test_resultOfUnfinishedFutureWarns(data) {
        ignoreWarning(data.warning);
        compare(data.call(), undefined);
    }

    function test_unhandledType_data() {
        return [
            { tag: "isFinished", call: function(f) { return Future.isFinished(f); }, prefix: "Future", value: false },
            { tag: "isRunning", call: function(f) { return Future.isRunning(f); }, prefix: "Future", value: false },
            { tag: "isCanceled", call: function(f) { return Future.isCanceled(f); }, prefix: "Future.isCanceled", value: false },
            { tag: "progressValue", call: function(f) { return Future.progressValue(f); }, prefix: "Future.progressValue", value: 0 },
            { tag: "progressMinimum", call: function(f) { return Future.progressMinimum(f); }, prefix: "Future.progressMinimum", value: 0 },
            { tag: "progressMaximum", call: function(f) { return Future.progressMaximum(f); }, prefix: "Future.progressMaximum", value: 0 },
            { tag: "result", call: function(f) { return Future.result(f); }, prefix: "Future", value: undefined },
            { tag: "results", call: function(f) { return Future.results(f); }, prefix: "Future", value: undefined },
            { tag: "onFinished", call: function(f) { return Future.onFinished(f, function() {}); }, prefix: "Future", value: undefined },
            { tag: "onCanceled", call: function(f) { return Future.onCanceled(f, function() {}); }, prefix: "Future", value: undefined },
            { tag: "onProgressValueChanged", call: function(f) { return Future.onProgressValueChanged(f, function() {}); },
              prefix: "Future.onProgressValueChanged", value: undefined },
            { tag: "sync", call: function(f) { return Future.sync(f, "isRunning", target); }, prefix: "Future", value: undefined },
        ];
    }

    function test_unhandledType(data) {
        ignoreWarning(data.prefix + ": Can not handle input data type: " + futureSource.unhandledTypeName());
        compare(data.call(futureSource.unhandled()), data.value);
    }

    function test_syncFollowsTheFuture_data() {
        return [
            { tag: "isRunning into another property", state: "isRunning", property: "busy",
              before: true, after: false },
            { tag: "isRunning into the same name", state: "isRunning", property: "",
              before: true, after: false },
            { tag: "isFinished", state: "isFinished", property: "", before: false, after: true },
        ];
    }

    function test_syncFollowsTheFuture(data) {
        var property = data.property === "" ? data.state : data.property;
        target[property] = !data.before;
        var future = futureSource.runningString();
        if (data.property === "")
            Future.sync(future, data.state, target);
        else
            Future.sync(future, data.state, target, data.property);
        compare(target[property], data.before);
        futureSource.finishString("done");
        tryCompare(target, property, data.after);
    }

    function test_syncOfFinishedFutureAppliesOnce() {
        target.isFinished = false;
        Future.sync(futureSource.readyString("x"), "isFinished", target);
        compare(target.isFinished, true);
    }

    function test_syncUnknownStateWarns() {
        target.busy = true;
        ignoreWarning("Future: Unknown property: isBogus");
        Future.sync(futureSource.readyString("x"), "isBogus", target, "busy");
        compare(target.busy, false);
    }

    function test_syncFollowsCancellation() {
        target.busy = false;
        var future = futureSource.runningString();
        Future.sync(future, "isRunning", target, "busy");
        compare(target.busy, true);
        futureSource.cancelString();
        tryCompare(target, "busy", false);
    }

    function test_onCanceled_data() {
        return [
            { tag: "already canceled", make: function() { return futureSource.canceledString(); },
              after: function() {}, calls: 1 },
            { tag: "canceled later", make: function() { return futureSource.runningString(); },
              after: function() { futureSource.cancelString(); }, calls: 1 },
            { tag: "failed later", make: function() { return futureSource.runningString(); },
              after: function() { futureSource.failString(); }, calls: 1 },
            { tag: "finished normally", make: function() { return futureSource.runningString(); },
              after: function() { futureSource.finishString("fine"); }, calls: 0 },
            { tag: "already finished", make: function() { return futureSource.readyString("fine"); },
              after: function() {}, calls: 0 },
        ];
    }

    function test_onCanceled(data) {
        var future = data.make();
        var seen = listen(function(callback) { Future.onCanceled(future, callback); });
        compare(seen.calls, 0);
        data.after();
        if (data.calls > 0)
            tryCompare(seen, "calls", data.calls);
        wait(30);
        compare(seen.calls, data.calls);
        if (data.calls > 0)
            compare(seen.args, [undefined]);
    }

    function test_promiseOfObjectFuture_data() {
        return [
            { tag: "finished", make: function() { return futureSource.readyObject("scan-7"); },
              finish: function() {} },
            { tag: "completed later", make: function() { return futureSource.runningObject(); },
              finish: function() { futureSource.finishObject("scan-7"); } },
        ];
    }

    function test_promiseOfObjectFuture(data) {
        var fulfilled = [];
        var rejected = [];
        var promise = Future.promise(data.make());
        promise.then(function(value) { fulfilled.push(value); },
                     function(reason) { rejected.push(reason); });
        data.finish();
        compare(fulfilled.length, 0);
        tryCompare(fulfilled, "length", 1);
        compare(fulfilled[0].name, "scan-7");
        wait(30);
        compare(fulfilled.length, 1);
        compare(rejected.length, 0);
    }

    function test_promiseOfFailedFutureRejectsWithUndefined_data() {
        return [
            { tag: "failed", make: function() { return futureSource.failedObject(); },
              finish: function() {} },
            { tag: "failing later", make: function() { return futureSource.runningObject(); },
              finish: function() { futureSource.failObject(); } },
            { tag: "canceled", make: function() { return futureSource.canceledString(); },
              finish: function() {} },
        ];
    }

    function test_promiseOfFailedFutureRejectsWithUndefined(data) {
        var fulfilled = 0;
        var rejected = [];
        Future.promise(data.make()).then(function() { fulfilled += 1; },
                                         function(reason) { rejected.push(reason); });
        data.finish();
        tryCompare(rejected, "length", 1);
        compare(rejected[0], undefined);
        wait(30);
        compare(fulfilled, 0);
        compare(rejected.length, 1);
    }
}
