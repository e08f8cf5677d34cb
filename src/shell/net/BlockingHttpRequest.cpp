#include "BlockingHttpRequest.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "VLLogger.h"
#include "VLPlatformFactory.h"

namespace {

// libcurl's global state is set up once and kept for the whole run: its
// reference count then never falls to zero under a transfer of ours, whatever
// other users of the library do.
void initializeCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

struct EasyHandle
{
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    ~EasyHandle()
    {
        curl_slist_free_all(headers);
        if (curl)
            curl_easy_cleanup(curl);
    }
};

}  // namespace

BlockingHttpRequest::BlockingHttpRequest(std::string url)
    : m_url(std::move(url))
{
}

void BlockingHttpRequest::setLowSpeedLimit(long bytesPerSecond, long seconds)
{
    m_lowSpeedBytes = bytesPerSecond;
    m_lowSpeedSeconds = seconds;
}

BlockingHttpRequest::~BlockingHttpRequest()
{
    if (m_postFile)
        fclose(m_postFile);
}

void BlockingHttpRequest::setPostBody(std::string body)
{
    m_post = true;
    m_postBody = std::move(body);
}

bool BlockingHttpRequest::setPostBodyAroundFile(std::string head, const std::string& filePath, std::string tail)
{
    FILE* file = fopen(filePath.c_str(), "rbe");
    struct stat status;
    if (!file || fstat(fileno(file), &status) != 0) {
        if (file)
            fclose(file);
        return false;
    }
    if (m_postFile)
        fclose(m_postFile);
    m_post = true;
    m_postBody = std::move(head);
    m_postFile = file;
    m_postFileSize = status.st_size;
    m_postTail = std::move(tail);
    return true;
}

// The streamed body, piece by piece: the head, the file, the tail. A file
// that shrank meanwhile is padded with zeros to the announced length.
size_t BlockingHttpRequest::sendBody(char* data, size_t size, size_t count, void* context)
{
    BlockingHttpRequest* request = static_cast<BlockingHttpRequest*>(context);
    size_t room = size * count;
    size_t headSize = request->m_postBody.size();
    size_t fileEnd = headSize + size_t(request->m_postFileSize);
    size_t& offset = request->m_postOffset;
    size_t written = 0;
    while (written < room) {
        size_t length = 0;
        if (offset < headSize) {
            length = std::min(room - written, headSize - offset);
            memcpy(data + written, request->m_postBody.data() + offset, length);
        } else if (offset < fileEnd) {
            length = fread(data + written, 1, std::min(room - written, fileEnd - offset), request->m_postFile);
            if (length == 0) {
                length = std::min(room - written, fileEnd - offset);
                memset(data + written, 0, length);
            }
        } else if (offset < fileEnd + request->m_postTail.size()) {
            length = std::min(room - written, fileEnd + request->m_postTail.size() - offset);
            memcpy(data + written, request->m_postTail.data() + (offset - fileEnd), length);
        } else {
            break;
        }
        offset += length;
        written += length;
    }
    return written;
}

size_t BlockingHttpRequest::receiveBody(char* data, size_t size, size_t count, void* context)
{
    BlockingHttpRequest* request = static_cast<BlockingHttpRequest*>(context);
    size_t length = size * count;
    std::string& body = request->m_response->body;
    if (length > request->m_maximumBodySize - body.size()) {
        request->m_overLimit = true;
        return CURL_WRITEFUNC_ERROR;
    }
    body.append(data, length);
    return length;
}

int BlockingHttpRequest::progress(void* context, long long, long long, long long, long long)
{
    BlockingHttpRequest* request = static_cast<BlockingHttpRequest*>(context);
    return request->m_cancel && request->m_cancel->load() ? 1 : 0;
}

bool BlockingHttpRequest::perform(HttpResponse& response)
{
    response = HttpResponse();
    initializeCurlOnce();
    EasyHandle handle;
    if (!handle.curl) {
        response.error = "no libcurl handle";
        VL_LOG_ERROR("curl_easy_init has failed for " << m_url);
        return false;
    }
    CURL* curl = handle.curl;
    m_response = &response;
    m_overLimit = false;

    curl_easy_setopt(curl, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &BlockingHttpRequest::receiveBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &BlockingHttpRequest::progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (!m_userAgent.empty())
        curl_easy_setopt(curl, CURLOPT_USERAGENT, m_userAgent.c_str());
    if (m_timeoutMs > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, m_timeoutMs);
    if (m_connectTimeoutMs > 0)
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_connectTimeoutMs);
    if (m_lowSpeedSeconds > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, m_lowSpeedBytes);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_lowSpeedSeconds);
    }
    if (m_followRedirects) {
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    }
    std::string proxy;
    if (VLPlatformFactory::instance()->getProxyConfig(m_url, proxy))
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    if (m_post) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        if (m_postFile) {
            m_postOffset = 0;
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, sendBody);
            curl_easy_setopt(curl, CURLOPT_READDATA, this);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             curl_off_t(m_postBody.size()) + m_postFileSize + curl_off_t(m_postTail.size()));
        } else {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, m_postBody.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_postBody.size()));
        }
        // Sent whole at once: no waiting for a "100 Continue" that some servers never send.
        handle.headers = curl_slist_append(handle.headers, "Expect:");
    }
    for (const std::string& line : m_headers)
        handle.headers = curl_slist_append(handle.headers, line.c_str());
    if (handle.headers)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle.headers);

    CURLcode code = curl_easy_perform(curl);
    m_response = nullptr;
    if (code != CURLE_OK) {
        response.body.clear();
        response.error = m_overLimit ? std::string("the answer is longer than ") + std::to_string(m_maximumBodySize)
                                           + " bytes"
                                     : curl_easy_strerror(code);
        VL_LOG_WARN("CURL failed : (" << code << ") " << response.error << " for " << m_url);
        return false;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    char* contentType = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType)
        response.contentType = contentType;
    response.answered = true;
    return true;
}
