import QtQuick 2.0
import "promise.js" as Q

// A promise declared in QML. It resolves when `resolveWhen` holds true, a signal given to it
// fires or a promise given to it fulfils; it rejects likewise through `rejectWhen`. It can also
// be settled by calling resolve() or reject(), and chained with then().
QtObject {
    id: root

    property var resolveWhen
    property var rejectWhen

    readonly property bool isFulfilled: __fulfilled
    readonly property bool isRejected: __rejected
    readonly property bool isSettled: __fulfilled || __rejected

    signal fulfilled(var value)
    signal rejected(var reason)
    signal settled(var value)

    property bool __fulfilled: false
    property bool __rejected: false
    property var __promise: Q.promise()
    property bool __completed: false

    function resolve(value) {
        __promise.resolve(value);
    }

    function reject(reason) {
        __promise.reject(reason);
    }

    function then(onFulfilled, onRejected) {
        return __promise.then(onFulfilled, onRejected);
    }

    // A condition settles when it becomes true; a signal when it fires (with its arguments);
    // a promise or thenable when it fulfils (with its value).
    function __watch(condition, resolving) {
        if (!__completed || condition === undefined || condition === null || condition === false)
            return;
        if (condition === true) {
            if (resolving)
                resolve(true);
            else
                reject(true);
            return;
        }
        if (resolving) {
            resolve(condition);
            return;
        }
        Q.resolve(condition).then(function(value) {
            reject(value);
        });
    }

    onResolveWhenChanged: __watch(resolveWhen, true)
    onRejectWhenChanged: __watch(rejectWhen, false)

    Component.onCompleted: {
        __promise.then(function(value) {
            __fulfilled = true;
            root.fulfilled(value);
            root.settled(value);
        }, function(reason) {
            __rejected = true;
            root.rejected(reason);
            root.settled(reason);
        });
        __completed = true;
        __watch(resolveWhen, true);
        __watch(rejectWhen, false);
    }
}
