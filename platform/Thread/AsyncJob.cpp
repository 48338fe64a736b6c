#include "platform/Thread/AsyncJob.h"

#include "platform/Logging/internal_logging.h"

#include <exception>

namespace Kelmora {

AsyncJob::AsyncJob(std::function<void()> job) {
    std::future<bool> started = started_.get_future();
    thread_ = std::thread(&AsyncJob::_execute, this, std::move(job));
    started.wait();
}

AsyncJob::~AsyncJob() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void AsyncJob::_execute(std::function<void()> job) {
    try {
        started_.set_value(true);
        if (job) {
            job();
        }
    } catch (const std::exception& e) {
        CLogger::Log(kLogTypeError, L"Thread\\AsyncJob", L"Kelmora::AsyncJob::_execute", 58,
                     L"STL exception caught while invoking asynchronous job: %hs.", e.what());
    } catch (...) {
        CLogger::Log(kLogTypeError, L"Thread\\AsyncJob", L"Kelmora::AsyncJob::_execute", 62,
                     L"Unknown exception caught while invoking asynchronous job.");
    }
}

}  // namespace Kelmora
