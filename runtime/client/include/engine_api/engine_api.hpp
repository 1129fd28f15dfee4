#pragma once
// The engine client: launches of and attachments to engine processes, engine
// instances, function-call futures and their console capture buffers, all
// named by 64-bit handles that are never reused within a process.
//
// Every operation is safe to call from many threads at once.  A handle that
// names nothing, or names a thing of another kind, makes the operation throw
// a std::exception (EngineException) that says so.
#include <fl/except.hpp>
#include <fl/ustring.hpp>
#include <qx/qx.hpp>
#include <qx/vdutil.hpp>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace VELDRA::engineAPI {
// Tags of the engine's user-facing failures (see fl::except::Exception).
struct VeldraExecutionError {};
struct VeldraSyntaxError {};
struct SharedVeldraNotFound {};
struct SharedVeldraNotConnected {};
}  // namespace VELDRA::engineAPI

namespace engine_api {

using Handle = std::uint64_t;
// A capture buffer: the text a call printed, as UTF-16 code units.
using ustringbuf = std::basic_stringbuf<fl::uchar>;

// A failure of the engine client itself: bad handle, lost connection, a
// launch that failed or was cancelled.
class EngineException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// An argument the engine cannot be sent (nested too deeply, too large for
// one message): the call was not made.
class ArgumentException : public EngineException {
public:
    using EngineException::EngineException;
};
// Collecting a call that was cancelled.
class CancelledException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// Collecting a call that the engine interrupted (SIGINT to the engine).
class InterruptedException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The time-out passed before the call finished; the call goes on.
class TimeoutException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using ExecutionError = fl::except::Exception<VELDRA::engineAPI::VeldraExecutionError, std::exception, void>;
using SyntaxError = fl::except::Exception<VELDRA::engineAPI::VeldraSyntaxError, std::exception, void>;
using SharedNotFound = fl::except::Exception<VELDRA::engineAPI::SharedVeldraNotFound, std::exception, void>;
using SharedNotConnected = fl::except::Exception<VELDRA::engineAPI::SharedVeldraNotConnected, std::exception, void>;

// ---- the client runtime ------------------------------------------------------
// Starts the client runtime; calling it again does nothing.
void createProcess();
// Stops it: engines launched by this process are stopped, shared ones
// detached, pending launches and calls failed, threads joined.
void terminateProcess();

// ---- launches and engine instances -----------------------------------------
// Time-outs are in seconds: negative waits without limit, 0 polls.
Handle createOutOfProcessVELDRAAsync(std::vector<fl::ustring> options);
Handle attachSharedVELDRAAsync(const fl::ustring& name);
bool isDoneVELDRA(Handle launch);
bool waitVELDRA(Handle launch, double timeout);
void cancelVELDRAAsync(Handle launch);
// Blocks until the launch is done; the engine handle, or the launch's failure.
Handle getOutOfProcessVELDRA(Handle launch);
// Releases a launch handle or an engine handle (an engine still running is
// closed first).
void destroyVELDRAHandle(Handle handle);
// Names of the live shared sessions of this user, sorted.
std::vector<fl::ustring> findSharedVELDRA();
// Closes an engine: a launched one is stopped, an attached one detached.
void terminateOutOfProcessVELDRA(Handle engine);

// ---- function calls ---------------------------------------------------------
// Submits a call; returns {future, output buffer, error buffer} (0 for a
// stream not captured).  The argument arrays stay the caller's.  With
// `progress` the engine sends the call's progress (takeFEvalProgress).
std::vector<Handle> evaluateFunction(Handle engine, const std::string& name, int numOut,
                                     std::vector<const qxArray*> args, bool captureOut, bool captureErr,
                                     bool progress = false);
// The same for a caller that must not wait (one holding a lock that other
// threads need): the call is sent only when its frame goes out at once, and
// {} comes back, with nothing sent or kept, when it would have to wait for
// another thread's write or for room in the socket.  The arguments are
// encoded on the calling thread either way, so this is for small ones.
std::vector<Handle> evaluateFunctionNow(Handle engine, const std::string& name, int numOut,
                                        const std::vector<const qxArray*>& args, bool captureOut, bool captureErr,
                                        bool progress = false);
// Waits for the call and hands its result arrays over; the captured text is
// appended to the buffers given (either may be empty).  Throws
// CancelledException, InterruptedException, TimeoutException, ExecutionError,
// SyntaxError or EngineException.
std::vector<vdutil::QxArrayPtr> getFEvalResult(std::vector<Handle> handles, boost::shared_ptr<ustringbuf> out,
                                               boost::shared_ptr<ustringbuf> err, double timeout);
// Appends the text the call has written so far, and not yet handed out, to
// the buffers given (either may be empty: that stream's text stays);
// getFEvalResult hands out the rest.  Does not wait.  Any thread.
void takeFEvalOutput(std::vector<Handle> handles, boost::shared_ptr<ustringbuf> out, boost::shared_ptr<ustringbuf> err);
// The call's latest progress report, `done` of `total`, when one came since
// the last take (false when none did).  Does not wait.  Any thread.
bool takeFEvalProgress(Handle future, double& done, double& total);
void destroyFEvalResult(std::vector<Handle> handles);
// The same for a caller that must not wait: releases the call only when
// nothing about it can wait (it has finished and its results were collected
// or there were none); false, with nothing released, otherwise.
bool destroyFEvalResultNow(const std::vector<Handle>& handles);
bool cancelFEval(Handle future);
bool isDoneFEval(Handle future);
bool isCancelledFEval(Handle future);
bool waitFEval(Handle future, double timeout);

// ---- many calls of one function in one request -------------------------------
// One call of a batch as collected: its results, or the exception
// getFEvalResult would have thrown for it as a call of its own; and the text
// it wrote to each captured stream.
struct BatchCall {
    std::vector<vdutil::QxArrayPtr> results;
    std::exception_ptr error;
    fl::ustring out, err;
};
// Submits one call of `name` for each argument list, to run in order, and
// returns the batch's handle.  The engine runs them one after another and
// stops at the first that does not succeed; the calls after it are not run.
// With `after`, a batch of the same engine not yet released, the calls run
// only if every call of that batch succeeded.  An engine of the older
// protocol is sent one Call frame per call instead (and runs them all).  The
// argument arrays stay the caller's; nothing is sent when an argument list
// cannot be.
Handle evaluateFunctionBatch(Handle engine, const std::string& name, int numOut,
                             const std::vector<std::vector<const qxArray*>>& argLists, bool captureOut, bool captureErr,
                             Handle after = 0);
// Waits up to `timeout` seconds (negative: no limit) until the calls are
// answered, up to the first that failed, and hands over the outcome of every
// call in order: the first call a lost connection left unanswered ends in
// its EngineException, and every call after the first failure in
// CancelledException.  Throws TimeoutException (nothing taken, the calls go on), or
// EngineException when the batch was collected already.
std::vector<BatchCall> getFunctionBatchResult(Handle batch, double timeout);
// Releases the batch: calls still to run are cancelled, results not
// collected destroyed.
void destroyFunctionBatch(Handle batch);

}  // namespace engine_api
