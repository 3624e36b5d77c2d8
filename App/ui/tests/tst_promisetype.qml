import QtQuick 2.0
import QtTest 1.2
import QuickPromise 1.0

TestCase {
    id: testCase
    name: "PromiseType"

    QtObject {
        id: emitter
        signal fire(var value)
    }

    property bool ready: false
    property bool broken: false

    Promise {
        id: byCondition
        resolveWhen: testCase.ready
        rejectWhen: testCase.broken
    }

    Promise {
        id: bySignal
        resolveWhen: emitter.fire
    }

    Promise {
        id: rejectedBySignal
        rejectWhen: emitter.fire
    }

    // Counts how often the binding below runs; a plain JS object, so reading it adds no dependency.
    readonly property var bindingRuns: ({ count: 0 })

    function countedPromise(value) {
        bindingRuns.count += 1;
        return Q.resolve(value);
    }

    Promise {
        id: byPromise
        resolveWhen: countedPromise("from a promise")
    }

    Promise {
        id: byCall
    }

    SignalSpy { id: byConditionFulfilled; target: byCondition; signalName: "fulfilled" }
    SignalSpy { id: byConditionSettled; target: byCondition; signalName: "settled" }
    SignalSpy { id: bySignalFulfilled; target: bySignal; signalName: "fulfilled" }
    SignalSpy { id: rejectedBySignalRejected; target: rejectedBySignal; signalName: "rejected" }
    SignalSpy { id: byPromiseFulfilled; target: byPromise; signalName: "fulfilled" }

    function test_1_pendingUntilTheirCondition() {
        wait(30);
        verify(!byCondition.isSettled);
        verify(!bySignal.isSettled);
        verify(!rejectedBySignal.isSettled);
        verify(!byCall.isSettled);
    }

    function test_2_conditionResolves() {
        ready = true;
        verify(!byCondition.isFulfilled, "settled inside the change");
        tryCompare(byCondition, "isFulfilled", true);
        verify(byCondition.isSettled);
        verify(!byCondition.isRejected);
        compare(byConditionFulfilled.signalArguments[0][0], true);
        compare(byConditionSettled.signalArguments[0][0], true);
        // A later rejecting condition changes nothing.
        broken = true;
        wait(30);
        verify(!byCondition.isRejected);
        compare(byConditionSettled.count, 1);
    }

    function test_3_signals() {
        emitter.fire("now");
        tryCompare(bySignal, "isFulfilled", true);
        tryCompare(rejectedBySignal, "isRejected", true);
        compare(bySignalFulfilled.signalArguments[0][0], "now");
        compare(rejectedBySignalRejected.signalArguments[0][0], "now");
        verify(!rejectedBySignal.isFulfilled);
    }

    function test_4_promise() {
        tryCompare(byPromise, "isFulfilled", true);
        compare(byPromiseFulfilled.signalArguments[0][0], "from a promise");
        // Making a promise inside a binding must not make the binding depend on the library's
        // timers, or it would run again every time they start and stop.
        wait(30);
        compare(bindingRuns.count, 1);
    }

    function test_5_resolveAndThen() {
        var seen = [];
        byCall.then(function(value) { seen.push(value); });
        byCall.resolve("called");
        byCall.reject("ignored");
        tryCompare(byCall, "isFulfilled", true);
        tryCompare(seen, "length", 1);
        compare(seen, ["called"]);
        verify(!byCall.isRejected);
    }

    Component {
        id: dynamicPromise
        Promise {}
    }

    function test_6_rejectWhenPromiseFulfils() {
        var source = Q.promise();
        var p = createTemporaryObject(dynamicPromise, testCase);
        p.rejectWhen = source;
        var reasons = [];
        p.then(undefined, function(reason) { reasons.push(reason); });
        source.resolve("no good");
        tryCompare(p, "isRejected", true);
        tryCompare(reasons, "length", 1);
        compare(reasons, ["no good"]);
    }
}
