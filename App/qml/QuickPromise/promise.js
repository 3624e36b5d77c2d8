.pragma library

// Promises for QML. A promise settles once; settling and every handler run in a later turn of
// the event loop (a zero-interval PromiseTimer), so code that attaches handlers right after
// creating or settling a promise never sees them run inside its own call.

var PENDING = 0;
var FULFILLED = 1;
var REJECTED = 2;

var SELF_RESOLUTION_MESSAGE = "Promise.resolve(value) : The value can not be same as the promise object.";

// ---- timers -------------------------------------------------------------------------------

var timerComponent = null;

function createTimer(interval) {
    if (timerComponent === null) {
        timerComponent = Qt.createComponent(Qt.resolvedUrl("PromiseTimer.qml"));
        if (timerComponent.status !== 1 /* Component.Ready */) {
            console.error("QuickPromise: PromiseTimer.qml can not be loaded:", timerComponent.errorString());
            timerComponent = null;
            return null;
        }
    }
    return timerComponent.createObject(null, { interval: interval });
}

// Deferred jobs share one timer; jobs queued while a batch runs wait for the next turn.
var jobs = [];
var jobTimer = null;
var jobTimerStarted = false;

function runJobs() {
    jobTimerStarted = false;
    var batch = jobs;
    jobs = [];
    for (var i = 0; i < batch.length; ++i) {
        try {
            batch[i]();
        } catch (e) {
            logError("QuickPromise: a deferred call failed:", e);
        }
    }
    if (jobs.length > 0)
        startJobTimer();
}

// The timer's own "running" is never read: promises are often made inside bindings, which would
// then depend on the timer and be evaluated again each time it starts or stops.
function startJobTimer() {
    if (jobTimerStarted)
        return;
    jobTimerStarted = true;
    jobTimer.start();
}

function defer(job) {
    jobs.push(job);
    if (jobTimer === null) {
        jobTimer = createTimer(0);
        if (jobTimer === null)
            return;
        jobTimer.triggered.connect(runJobs);
    }
    startJobTimer();
}

var timeouts = {};
var nextTimeoutId = 1;

function setTimeout(callback, interval) {
    var timer = createTimer(interval === undefined ? 0 : interval);
    if (timer === null)
        return 0;
    var id = nextTimeoutId++;
    timeouts[id] = timer;
    timer.triggered.connect(function() {
        delete timeouts[id];
        timer.destroy();
        callback();
    });
    timer.start();
    return id;
}

function clearTimeout(id) {
    var timer = timeouts[id];
    if (timer === undefined)
        return;
    delete timeouts[id];
    timer.stop();
    timer.destroy();
}

// ---- helpers ------------------------------------------------------------------------------

function logError(text, error) {
    var stack = (error !== null && typeof error === "object" && error.stack) ? "\n" + error.stack : "";
    console.warn(text + " " + String(error) + stack);
}

// A Qt signal as QML hands it to script: a function with connect() and disconnect().
function isSignal(value) {
    return typeof value === "function"
            && typeof value.connect === "function"
            && typeof value.disconnect === "function";
}

function signalValue(args) {
    if (args.length === 0)
        return undefined;
    if (args.length === 1)
        return args[0];
    return Array.prototype.slice.call(args);
}

function isPromise(value) {
    return value instanceof Promise;
}

// ---- the promise --------------------------------------------------------------------------

function Promise(executor) {
    this.state = PENDING;
    this.value = undefined;
    this._locked = false;   // resolve or reject was called: later calls are ignored
    this._handlers = [];
    if (typeof executor === "function") {
        var self = this;
        try {
            executor(function(value) { self.resolve(value); },
                     function(reason) { self.reject(reason); });
        } catch (e) {
            self.reject(e);
        }
    }
}

Object.defineProperty(Promise.prototype, "isPending", { get: function() { return this.state === PENDING; } });
Object.defineProperty(Promise.prototype, "isFulfilled", { get: function() { return this.state === FULFILLED; } });
Object.defineProperty(Promise.prototype, "isRejected", { get: function() { return this.state === REJECTED; } });
Object.defineProperty(Promise.prototype, "isSettled", { get: function() { return this.state !== PENDING; } });

Promise.prototype.resolve = function(value) {
    if (this._locked)
        return;
    this._locked = true;
    var self = this;
    defer(function() { self._adopt(value); });
};

Promise.prototype.reject = function(reason) {
    if (this._locked)
        return;
    this._locked = true;
    var self = this;
    defer(function() { self._settle(REJECTED, reason); });
};

Promise.prototype.then = function(onFulfilled, onRejected) {
    var handler = { onFulfilled: onFulfilled, onRejected: onRejected, next: new Promise() };
    if (this.state === PENDING) {
        this._handlers.push(handler);
    } else {
        var self = this;
        defer(function() { runHandler(handler, self.state, self.value); });
    }
    return handler.next;
};

Promise.prototype["catch"] = function(onRejected) {
    return this.then(undefined, onRejected);
};

// Runs in a deferred job: follows a promise, thenable or signal, or fulfils with a plain value.
Promise.prototype._adopt = function(value) {
    var self = this;
    if (value === self) {
        self._settle(REJECTED, new TypeError(SELF_RESOLUTION_MESSAGE));
        return;
    }
    if (isSignal(value)) {
        var fired = false;
        var onSignal = function() {
            if (fired)
                return;
            fired = true;
            value.disconnect(onSignal);
            var result = signalValue(arguments);
            defer(function() { self._settle(FULFILLED, result); });
        };
        value.connect(onSignal);
        return;
    }
    if (value !== null && (typeof value === "object" || typeof value === "function")) {
        var then;
        try {
            then = value.then;
        } catch (e) {
            self._settle(REJECTED, e);
            return;
        }
        if (typeof then === "function") {
            var called = false;
            try {
                then.call(value, function(result) {
                    if (called)
                        return;
                    called = true;
                    self._adopt(result);
                }, function(reason) {
                    if (called)
                        return;
                    called = true;
                    self._settle(REJECTED, reason);
                });
            } catch (e) {
                if (!called) {
                    called = true;
                    self._settle(REJECTED, e);
                }
            }
            return;
        }
    }
    self._settle(FULFILLED, value);
};

Promise.prototype._settle = function(state, value) {
    if (this.state !== PENDING)
        return;
    this.state = state;
    this.value = value;
    var handlers = this._handlers;
    this._handlers = [];
    for (var i = 0; i < handlers.length; ++i)
        runHandler(handlers[i], state, value);
};

function runHandler(handler, state, value) {
    var callback = state === FULFILLED ? handler.onFulfilled : handler.onRejected;
    if (typeof callback !== "function") {
        if (state === FULFILLED)
            handler.next.resolve(value);
        else
            handler.next.reject(value);
        return;
    }
    var result;
    try {
        result = callback(value);
    } catch (e) {
        logError("QuickPromise: a handler threw", e);
        handler.next.reject(e);
        return;
    }
    handler.next.resolve(result);
}

// ---- the library's functions ----------------------------------------------------------------

function promise(executor) {
    return new Promise(executor);
}

function resolve(value) {
    var p = new Promise();
    p.resolve(value);
    return p;
}

function reject(reason) {
    var p = new Promise();
    p.reject(reason);
    return p;
}

function toList(items) {
    var list = [];
    if (items === undefined || items === null || typeof items.length !== "number")
        return null;
    for (var i = 0; i < items.length; ++i)
        list.push(items[i]);
    return list;
}

// Fulfils with the values of all items, in their order, or rejects with the first rejection.
function all(items) {
    var p = new Promise();
    var list = toList(items);
    if (list === null) {
        p.reject(new TypeError("Q.all(items) : items must be an array."));
        return p;
    }
    var values = new Array(list.length);
    var remaining = list.length;
    if (remaining === 0) {
        p.resolve(values);
        return p;
    }
    list.forEach(function(item, index) {
        resolve(item).then(function(value) {
            values[index] = value;
            if (--remaining === 0)
                p.resolve(values);
        }, function(reason) {
            p.reject(reason);
        });
    });
    return p;
}

// Fulfils once every item has settled, with { status, value } or { status, reason } per item.
function allSettled(items) {
    var p = new Promise();
    var list = toList(items);
    if (list === null) {
        p.reject(new TypeError("Q.allSettled(items) : items must be an array."));
        return p;
    }
    var outcomes = new Array(list.length);
    var remaining = list.length;
    if (remaining === 0) {
        p.resolve(outcomes);
        return p;
    }
    list.forEach(function(item, index) {
        resolve(item).then(function(value) {
            outcomes[index] = { status: "fulfilled", value: value };
            if (--remaining === 0)
                p.resolve(outcomes);
        }, function(reason) {
            outcomes[index] = { status: "rejected", reason: reason };
            if (--remaining === 0)
                p.resolve(outcomes);
        });
    });
    return p;
}
