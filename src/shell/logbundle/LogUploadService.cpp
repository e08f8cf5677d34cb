#include "LogUploadService.h"

#include <glib.h>
#include <unistd.h>

#include "BlockingHttpRequest.h"
#include "LogBundle.h"
#include "LogUploadPresenter.h"
#include "MultipartFormData.h"
#include "VLLogger.h"

namespace {

// The upload sets no limit on its whole length (a bundle may be large and the
// line slow), only on connecting and on a transfer that has stalled.
const long kConnectTimeoutMs = 30000;
const long kStalledSeconds = 60;

}  // namespace

struct LogUploadService::Shared
{
    LogUploadPresenter* presenter;
};

namespace {

// One result on its way to the main thread.
struct Delivery
{
    std::weak_ptr<void> service;
    LogUploadPresenter* presenter;
    LogUploadService::Outcome outcome;
    std::string archivePath;
};

gboolean deliver(gpointer data)
{
    Delivery* delivery = static_cast<Delivery*>(data);
    if (!delivery->service.expired()) {
        if (delivery->outcome == LogUploadService::Outcome::Sent)
            delivery->presenter->showSendLogSuccessMessage();
        else
            delivery->presenter->showSendLogFailureMessage(delivery->archivePath);
    }
    return G_SOURCE_REMOVE;
}

void forget(gpointer data)
{
    delete static_cast<Delivery*>(data);
}

}  // namespace

LogUploadService::LogUploadService(LogBundleSettings settings, LogUploadPresenter& presenter)
    : m_settings(std::move(settings))
    , m_shared(std::make_shared<Shared>(Shared{&presenter}))
{
}

LogUploadService::~LogUploadService()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void LogUploadService::sendLogForUserId(const std::string& userId, const std::string& login,
                                        const std::string& version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(Request{userId, login, version});
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_wake.notify_all();
}

void LogUploadService::run()
{
    while (true) {
        Request request;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            request = m_queue.front();
            m_queue.pop_front();
        }
        std::string archivePath;
        Outcome outcome = upload(request.userId, request.login, request.version, time(nullptr), archivePath);
        if (!m_stopping)
            present(outcome, outcome == Outcome::NotSent ? archivePath : std::string());
    }
}

LogUploadService::Outcome LogUploadService::upload(const std::string& userId, const std::string& login,
                                                   const std::string& version, std::time_t now,
                                                   std::string& archivePath)
{
    LogBundle bundle(m_settings);
    bool built = bundle.build(userId, login, version, now);
    archivePath = bundle.archivePath();
    if (!built)
        return Outcome::NoArchive;
    if (!post(archivePath))
        return Outcome::NotSent;
    unlink(archivePath.c_str());
    return Outcome::Sent;
}

bool LogUploadService::post(const std::string& archivePath)
{
    gchar* contents = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (!g_file_get_contents(archivePath.c_str(), &contents, &length, &error)) {
        VL_LOG_WARN("Error sending data: the archive cannot be read: " << error->message);
        g_error_free(error);
        return false;
    }
    MultipartFormData form;
    form.addText("udid", m_settings.systemUid);
    form.addText("ext", "zip");
    form.addText("ver", m_settings.applicationVersion);
    form.addText("type", "desktop");
    form.addNumber("auto", 0);
    form.addBytes("file", std::string(contents, length));
    g_free(contents);

    BlockingHttpRequest request(m_settings.endpoint);
    request.addHeader("Content-Type: " + form.contentType());
    request.setPostBody(form.body());
    request.setConnectTimeoutMilliseconds(kConnectTimeoutMs);
    request.setLowSpeedLimit(1, kStalledSeconds);
    request.setCancelFlag(&m_stopping);
    HttpResponse response;
    request.perform(response);
    if (!response.isSuccess()) {
        VL_LOG_WARN("Error sending data: " << (response.answered ? "HTTP status " + std::to_string(response.status)
                                                                 : response.error));
        return false;
    }
    VL_LOG_DEBUG("sendLog result: " << response.body);
    return true;
}

void LogUploadService::present(Outcome outcome, const std::string& archivePath)
{
    // Always through an idle source of the default context: that context's
    // owner, the main thread, runs it (g_main_context_invoke would run it
    // right here whenever the main thread happens not to hold the context).
    Delivery* delivery = new Delivery{m_shared, m_shared->presenter, outcome, archivePath};
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, &deliver, delivery, &forget);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}
