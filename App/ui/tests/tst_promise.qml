import QtQuick 2.0
import QtTest 1.2
import QuickPromise 1.0

TestCase {
    id: testCase
    name: "Promise"

    QtObject {
        id: emitter
        signal fireNone()
        signal fireOne(var value)
        signal fireTwo(int number, string text)
    }

    // Collects what the handlers of a promise saw.
    function observe(promise) {
        var seen = { fulfilled: [], rejected: [] };
        promise.then(function(value) { seen.fulfilled.push(value); },
                     function(reason) { seen.rejected.push(reason); });
        return seen;
    }

    function settledOf(seen) {
        return seen.fulfilled.length + seen.rejected.length;
    }

    function test_settlesOnce_data() {
        return [
            { tag: "resolve wins", calls: [["resolve", 1], ["resolve", 2], ["reject", 3]],
              fulfilled: [1], rejected: [] },
            { tag: "reject wins", calls: [["reject", "no"], ["resolve", 2], ["reject", 3]],
              fulfilled: [], rejected: ["no"] },
        ];
    }

    function test_settlesOnce(data) {
        var p = Q.promise();
        var seen = observe(p);
        for (var i = 0; i < data.calls.length; ++i)
            p[data.calls[i][0]](data.calls[i][1]);
        tryVerify(function() { return settledOf(seen) > 0; });
        wait(30);
        compare(seen.fulfilled, data.fulfilled);
        compare(seen.rejected, data.rejected);
        // Settled later again: still ignored.
        p.resolve(99);
        p.reject(98);
        wait(30);
        compare(seen.fulfilled, data.fulfilled);
        compare(seen.rejected, data.rejected);
    }

    function test_settlingIsDeferred() {
        var p = Q.promise();
        var seen = observe(p);
        p.resolve("later");
        verify(p.isPending, "settled inside resolve()");
        compare(seen.fulfilled, []);
        tryVerify(function() { return p.isFulfilled; });
        compare(seen.fulfilled, ["later"]);
    }

    function test_thenOnSettledPromiseIsDeferred() {
        var p = Q.resolve(7);
        tryVerify(function() { return p.isFulfilled; });
        var order = [];
        p.then(function(value) { order.push("handler " + value); });
        order.push("after then");
        compare(order, ["after then"]);
        tryCompare(order, "length", 2);
        compare(order, ["after then", "handler 7"]);
    }

    function test_handlersRunInOrderOfAttachment() {
        var p = Q.promise();
        var order = [];
        p.then(function() { order.push(1); });
        p.then(function() { order.push(2); });
        p.then(function() { order.push(3); });
        p.resolve();
        tryCompare(order, "length", 3);
        compare(order, [1, 2, 3]);
    }

    function test_chaining() {
        var p = Q.promise();
        var seen = observe(p.then(function(value) { return value + 1; })
                            .then(function(value) { return Q.resolve(value * 2); })
                            .then(function(value) { return "result " + value; }));
        p.resolve(1);
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, ["result 4"]);
    }

    function test_rejectionHandlerRecovers() {
        var seen = observe(Q.reject("lost").then(undefined, function(reason) {
            return "recovered from " + reason;
        }));
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, ["recovered from lost"]);
    }

    function test_missingHandlerPassesOn_data() {
        return [
            { tag: "value past a rejection-only then", settle: "resolve", value: 5,
              fulfilled: [5], rejected: [] },
            { tag: "reason past a fulfilment-only then", settle: "reject", value: "bad",
              fulfilled: [], rejected: ["bad"] },
        ];
    }

    function test_missingHandlerPassesOn(data) {
        var p = Q.promise();
        var seen = observe(p.then(data.settle === "resolve" ? undefined : function() { return "wrong"; },
                                  data.settle === "reject" ? undefined : function() { return "wrong"; })
                            .then()
                            .then(null, null));
        p[data.settle](data.value);
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, data.fulfilled);
        compare(seen.rejected, data.rejected);
    }

    function test_adoption_data() {
        return [
            { tag: "pending promise fulfilled later", make: function() {
                var inner = Q.promise();
                Q.setTimeout(function() { inner.resolve("inner"); }, 10);
                return inner;
            }, fulfilled: ["inner"], rejected: [] },
            { tag: "rejected promise", make: function() { return Q.reject("inner no"); },
              fulfilled: [], rejected: ["inner no"] },
            { tag: "thenable", make: function() {
                return { then: function(onFulfilled) { onFulfilled(42); } };
            }, fulfilled: [42], rejected: [] },
            { tag: "thenable rejecting", make: function() {
                return { then: function(onFulfilled, onRejected) { onRejected("thenable no"); } };
            }, fulfilled: [], rejected: ["thenable no"] },
            { tag: "thenable calling back twice", make: function() {
                return { then: function(onFulfilled, onRejected) {
                    onFulfilled("first"); onRejected("second"); onFulfilled("third");
                } };
            }, fulfilled: ["first"], rejected: [] },
            { tag: "thenable throwing after it resolved", make: function() {
                return { then: function(onFulfilled) { onFulfilled("kept"); throw new Error("ignored"); } };
            }, fulfilled: ["kept"], rejected: [] },
            { tag: "thenable resolving with a thenable", make: function() {
                return { then: function(onFulfilled) {
                    onFulfilled({ then: function(inner) { inner("deep"); } });
                } };
            }, fulfilled: ["deep"], rejected: [] },
            { tag: "object without then is a value", make: function() {
                return { then: 3 };
            }, fulfilled: [{ then: 3 }], rejected: [] },
        ];
    }

    function test_adoption(data) {
        var p = Q.promise();
        var seen = observe(p);
        p.resolve(data.make());
        tryVerify(function() { return settledOf(seen) > 0; });
        wait(30);
        compare(seen.fulfilled, data.fulfilled);
        compare(seen.rejected, data.rejected);
    }

    function test_thenableThrowingRejects() {
        var p = Q.promise();
        var seen = observe(p);
        p.resolve({ then: function() { throw new Error("broken thenable"); } });
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, []);
        compare(seen.rejected[0].message, "broken thenable");
    }

    function test_selfResolutionRejects() {
        var p = Q.promise();
        var seen = observe(p);
        p.resolve(p);
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, []);
        verify(seen.rejected[0] instanceof TypeError);
        compare(seen.rejected[0].message,
                "Promise.resolve(value) : The value can not be same as the promise object.");
    }

    function test_handlerReturningItsOwnPromiseRejects() {
        var next;
        next = Q.resolve(1).then(function() { return next; });
        var seen = observe(next);
        tryVerify(function() { return settledOf(seen) > 0; });
        verify(seen.rejected[0] instanceof TypeError);
    }

    function test_throwingHandlerLogsAndRejects() {
        ignoreWarning(new RegExp("QuickPromise: a handler threw Error: boom\\n[\\s\\S]*tst_promise\\.qml"));
        var seen = observe(Q.resolve(1).then(function() { throw new Error("boom"); }));
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, []);
        compare(seen.rejected[0].message, "boom");
    }

    function test_signalResolution_data() {
        return [
            { tag: "no arguments", fire: function() { emitter.fireNone(); },
              signal: function() { return emitter.fireNone; }, value: undefined },
            { tag: "one argument", fire: function() { emitter.fireOne("only"); },
              signal: function() { return emitter.fireOne; }, value: "only" },
            { tag: "two arguments", fire: function() { emitter.fireTwo(3, "three"); },
              signal: function() { return emitter.fireTwo; }, value: [3, "three"] },
        ];
    }

    function test_signalResolution(data) {
        var p = Q.promise();
        var seen = observe(p);
        p.resolve(data.signal());
        wait(30);
        verify(p.isPending, "resolved before the signal fired");
        data.fire();
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, [data.value]);
        // A second emission changes nothing.
        data.fire();
        wait(30);
        compare(seen.fulfilled.length, 1);
    }

    function test_all_data() {
        return [
            { tag: "values and promises in order", make: function() {
                var slow = Q.promise();
                Q.setTimeout(function() { slow.resolve("slow"); }, 20);
                return [slow, 2, Q.resolve("three"), { then: function(f) { f(4); } }];
            }, fulfilled: [["slow", 2, "three", 4]], rejected: [] },
            { tag: "empty", make: function() { return []; }, fulfilled: [[]], rejected: [] },
            { tag: "first rejection", make: function() {
                var never = Q.promise();
                return [Q.resolve(1), Q.reject("failed"), never];
            }, fulfilled: [], rejected: ["failed"] },
        ];
    }

    function test_all(data) {
        var seen = observe(Q.all(data.make()));
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, data.fulfilled);
        compare(seen.rejected, data.rejected);
    }

    function test_allSettled() {
        var seen = observe(Q.allSettled([Q.resolve(1), Q.reject("no"), "plain"]));
        tryVerify(function() { return settledOf(seen) > 0; });
        compare(seen.fulfilled, [[{ status: "fulfilled", value: 1 },
                                  { status: "rejected", reason: "no" },
                                  { status: "fulfilled", value: "plain" }]]);
        var empty = observe(Q.allSettled([]));
        tryVerify(function() { return settledOf(empty) > 0; });
        compare(empty.fulfilled, [[]]);
    }

    function test_allRejectsWhatIsNoList() {
        var seen = observe(Q.all(5));
        tryVerify(function() { return settledOf(seen) > 0; });
        verify(seen.rejected[0] instanceof TypeError);
    }

    function test_executor() {
        var seen = observe(Q.promise(function(resolve) { resolve("from executor"); }));
        var thrown = observe(Q.promise(function() { throw new Error("executor failed"); }));
        tryVerify(function() { return settledOf(seen) > 0 && settledOf(thrown) > 0; });
        compare(seen.fulfilled, ["from executor"]);
        compare(thrown.rejected[0].message, "executor failed");
    }

    function test_timeouts() {
        var fired = [];
        Q.setTimeout(function() { fired.push("a"); }, 10);
        var cleared = Q.setTimeout(function() { fired.push("cleared"); }, 10);
        Q.clearTimeout(cleared);
        Q.clearTimeout(cleared);     // a second clear is harmless
        Q.setTimeout(function() { fired.push("b"); }, 40);
        compare(fired, []);
        tryCompare(fired, "length", 2);
        wait(50);
        compare(fired, ["a", "b"]);
    }
}
