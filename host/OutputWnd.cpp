#include "OutputWnd.h"

#include "KvConsleListBox.h"

#include <QElapsedTimer>
#include <QFont>
#include <QMetaObject>
#include <QTabWidget>

#include <algorithm>
#include <chrono>

namespace {
// Above this much queued text the server waits (bounded) for the console to
// catch up, which slows the senders instead of growing without end.
constexpr size_t kQueueHighWater = 8u << 20;
constexpr auto kHighWaterWait = std::chrono::milliseconds(200);
// One slice of work on the user-interface thread.
constexpr size_t kSliceBytes = 64u << 10;
constexpr qint64 kSliceMs = 15;
}  // namespace

COutputWnd::COutputWnd(QWidget* parent) : QDockWidget(QStringLiteral("Output"), parent)
{
    setObjectName(QStringLiteral("Output"));
    setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);

    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(14);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("OutputTabs"));
    m_tabs->setTabPosition(QTabWidget::South);
    m_tabs->setDocumentMode(true);
    m_tabs->setTabsClosable(false);
    m_console = new CKvConsleListBox(m_tabs);
    m_console->setFont(font);
    m_tabs->addTab(m_console, QStringLiteral("KvConsle"));
    setWidget(m_tabs);
}

COutputWnd::~COutputWnd() { StopServer(); }

int COutputWnd::StartServer(corvane::LogServer::Options options, std::string* error)
{
    StopServer();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = false;
    }
    m_server = std::make_unique<corvane::LogServer>(std::move(options));
    if (!m_server->Start([this](const kv::LogRecord& r) { Enqueue(r); }, error)) {
        m_server.reset();
        return 0;
    }
    return 1;
}

void COutputWnd::StopServer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_drained.notify_all();
    if (m_server)
        m_server->Stop();
    m_server.reset();
}

void COutputWnd::Enqueue(const kv::LogRecord& rec)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_queuedBytes > kQueueHighWater && !m_closing)
        m_drained.wait_for(lock, kHighWaterWait, [this] { return m_queuedBytes <= kQueueHighWater || m_closing; });
    m_queue.push_back(rec);
    m_queuedBytes += rec.text.size();
    if (!m_posted) {
        m_posted = true;
        QMetaObject::invokeMethod(this, &COutputWnd::drainSlice, Qt::QueuedConnection);
    }
}

size_t COutputWnd::Pending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

void COutputWnd::DrainAll()
{
    while (Pending() > 0)
        drainSlice();
}

void COutputWnd::drainSlice()
{
    QElapsedTimer clock;
    clock.start();
    size_t done = 0;
    while (done < kSliceBytes && clock.elapsed() < kSliceMs) {
        std::deque<kv::LogRecord> batch;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Take records up to the slice size; consecutive byte records are
            // joined so the console does one insertion for many lines.
            size_t taken = 0;
            while (!m_queue.empty() && (taken == 0 || done + taken < kSliceBytes)) {
                taken += m_queue.front().text.size() + 1;
                m_queuedBytes -= m_queue.front().text.size();
                batch.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
            }
            if (batch.empty()) {
                m_posted = false;
                break;
            }
        }
        m_drained.notify_all();
        std::string bytes;
        for (auto& r : batch) {
            done += r.text.size() + 1;
            if (r.kind == kv::kLogKindAppendBytes) {
                bytes += r.text;
                continue;
            }
            if (!bytes.empty()) {
                m_console->AppendBytes(bytes.data(), bytes.size());
                bytes.clear();
            }
            if (r.kind == kv::kLogKindInsertText)
                m_console->InsertText(QString::fromUtf8(r.text.data(), qsizetype(r.text.size())));
        }
        if (!bytes.empty())
            m_console->AppendBytes(bytes.data(), bytes.size());
    }
    m_longestSliceMs = std::max(m_longestSliceMs, clock.elapsed());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_posted && !m_queue.empty())
        QMetaObject::invokeMethod(this, &COutputWnd::drainSlice, Qt::QueuedConnection);
    else if (m_queue.empty())
        m_posted = false;
}
