#include "monitor/ui/ProcessMonitorPanel.h"

#include "common/Platform.h"
#include "common/SystemHelpers.h"
#include "common/ui/FigureBox.h"
#include "common/ui/MenuTable.h"
#include "monitor/ProcessActions.h"
#include "monitor/ProcessSampler.h"
#include "monitor/ProcessSnapshot.h"
#include "notify/NotificationMail.h"

#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>

namespace dozorix {

namespace {

// The process list's columns as designed; the figure columns widen to their
// widest values under the fonts in use (fitFigureColumns).
constexpr int kDesignColumnWidths[ProcessSampler::ColumnCount] = {148, 40, 40, 70, 90, 215};

// The longest figures of the boxes. A load is a sum of shares in the
// general format (a hair above 100 from clock jitter at most); the memory
// is FormatSize of the total.
const QStringList kLoadFigures = {QStringLiteral("999.99")};
const QStringList kMemoryFigures = {QStringLiteral("999.99 KB"), QStringLiteral("999.99 MB"),
                                    QStringLiteral("999.99 GB"), QStringLiteral("999.99 TB"),
                                    QStringLiteral("9999 bytes")};
const QStringList kCountFigures = {QStringLiteral("9999")};

FigureBox *statusBox(const QStringList &longest, const QString &hint = {})
{
    auto *box = new FigureBox(longest);
    if (!hint.isEmpty())
        box->setToolTip(hint);
    return box;
}

} // namespace

ProcessMonitorPanel::ProcessMonitorPanel(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    buildChart(layout);
    buildStatusRows(layout);
    buildProcessList(layout);
}

ProcessMonitorPanel::~ProcessMonitorPanel() = default;

void ProcessMonitorPanel::setHooks(Hooks hooks)
{
    m_hooks = std::move(hooks);
}

// Chart: client load blue, server load green, a third red series.
void ProcessMonitorPanel::buildChart(QVBoxLayout *layout)
{
    m_chart = new QChart();
    m_chart->setTitle(QStringLiteral("Загрузка процессора %  - 1С Предприятие  и  Сервер 1С."));
    m_chart->legend()->hide();
    m_clientSeries = new QLineSeries();
    m_serverSeries = new QLineSeries();
    m_thirdSeries = new QLineSeries();
    m_clientSeries->setColor(QColor(0x00, 0x80, 0xFF));
    m_serverSeries->setColor(QColor(0x00, 0x80, 0x00));
    m_thirdSeries->setColor(QColor(0xFF, 0x00, 0x00));
    m_axisX = new QValueAxis();
    m_axisY = new QValueAxis();
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisY, Qt::AlignLeft);
    for (QLineSeries *s : {m_clientSeries, m_serverSeries, m_thirdSeries}) {
        m_chart->addSeries(s);
        s->attachAxis(m_axisX);
        s->attachAxis(m_axisY);
    }
    m_axisX->setRange(0, 100);
    m_axisY->setRange(0, 100);
    m_chartView = new QChartView(m_chart, this);
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setMinimumHeight(150);
    m_chartView->viewport()->installEventFilter(this); // double clicks: the chart fills the window
    layout->addWidget(m_chartView, 3);
}

void ProcessMonitorPanel::buildStatusRows(QVBoxLayout *layout)
{
    // Status row 1: total, client and server load.
    m_row1 = new QWidget(this);
    auto *r1 = new QHBoxLayout(m_row1);
    r1->setContentsMargins(0, 0, 0, 0);
    m_totalLoad = statusBox(kLoadFigures);
    m_totalLoad->setTextColour(QColor(0xFF, 0x00, 0x00));
    m_clientLoad = statusBox(kLoadFigures, QStringLiteral("Нагрузка на ЦП которую создает клиент 1С (Тонкий , Толстый)"));
    m_clientLoad->setTextColour(palette().color(QPalette::Highlight));
    m_serverLoad = statusBox(kLoadFigures, QStringLiteral("Нагрузка на ЦП которую создают процессы сервера 1С (Кластера серверов)"));
    m_serverLoad->setTextColour(QColor(0x00, 0x80, 0x00));
    r1->addWidget(new QLabel(QStringLiteral("Загрузка процессора 1C %:")));
    r1->addWidget(m_totalLoad);
    r1->addWidget(new QLabel(QStringLiteral("1С Предприятие:")));
    r1->addWidget(m_clientLoad);
    r1->addWidget(new QLabel(QStringLiteral("Сервер 1С:")));
    r1->addWidget(m_serverLoad);
    r1->addStretch();
    layout->addWidget(m_row1);

    // Status row 2: online users, memory and count of the 1C processes.
    m_row2 = new QWidget(this);
    auto *r2 = new QHBoxLayout(m_row2);
    r2->setContentsMargins(0, 0, 0, 0);
    m_onlineLabel = new QLabel(m_row2);
    m_onlineUsers = statusBox(kCountFigures);
    m_memory = statusBox(kMemoryFigures);
    m_processCount = statusBox(kCountFigures);
    r2->addWidget(m_onlineLabel);
    r2->addWidget(m_onlineUsers);
    r2->addWidget(new QLabel(QStringLiteral("1C ОЗУ:")));
    r2->addWidget(m_memory);
    r2->addWidget(new QLabel(QStringLiteral("Процессов 1С:")));
    r2->addWidget(m_processCount);
    r2->addStretch();
    layout->addWidget(m_row2);
}

void ProcessMonitorPanel::buildProcessList(QVBoxLayout *layout)
{
    m_processList = new QTableWidget(0, 6, this);
    const QStringList headers = {QStringLiteral("Процессы 1C +"), QStringLiteral("PID"), QStringLiteral("CPU %"),
                                 QStringLiteral("ОЗУ"), QStringLiteral("Пользователь"),
                                 QStringLiteral("Описание процесса")};
    m_processList->setHorizontalHeaderLabels(headers);
    for (int i = 0; i < ProcessSampler::ColumnCount; ++i)
        m_processList->setColumnWidth(i, kDesignColumnWidths[i]);
    m_processList->horizontalHeaderItem(1)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_processList->horizontalHeaderItem(2)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_processList->verticalHeader()->hide();
    m_processList->verticalHeader()->setDefaultSectionSize(18);
    m_processList->setShowGrid(true);
    m_processList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_processList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_processList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_processList->setStyleSheet(QStringLiteral("QTableWidget { background: white; }"));
    m_processList->setContextMenuPolicy(Qt::CustomContextMenu);
    m_processList->viewport()->installEventFilter(this); // double clicks: the list fills the window
    m_processList->installEventFilter(this);             // font changes widen the figure columns
    fitFigureColumns();
    m_processMenu = new QMenu(this);
    buildMenu(m_processMenu, {
        menuItem("endTask", "Снять задачу", [this] { endSelectedProcesses(); }),
    });
    connect(m_processList, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        if (!m_processList->selectionModel()->selectedRows().isEmpty())
            m_processMenu->popup(m_processList->viewport()->mapToGlobal(pos));
    });
    layout->addWidget(m_processList, 4);
}

void ProcessMonitorPanel::start()
{
    resetChart();
    m_alerts = new LoadAlerts(this);
    LoadAlerts::Hooks alerts;
    alerts.balloon = [this](const QString &text) {
        if (m_hooks.balloon)
            m_hooks.balloon(text);
    };
    alerts.computerName = [] { return GetComputerNameText(); };
    alerts.mailer = [this](const QString &subject, const QString &body, const QString &successLine,
                           std::function<void()> onSuccess) {
        SendNotificationMail(subject, body, successLine, std::move(onSuccess), {}, this);
    };
    m_alerts->setHooks(std::move(alerts));
    m_sampler = std::make_unique<ProcessSampler>(ProcessTable::instance()->processorCount());
    m_clock.start();
    m_lastTickNs = m_clock.nsecsElapsed();
}

QChartView *ProcessMonitorPanel::chartView() const
{
    return m_chartView;
}

QLineEdit *ProcessMonitorPanel::totalLoadBox() const
{
    return m_totalLoad;
}

QLineEdit *ProcessMonitorPanel::clientLoadBox() const
{
    return m_clientLoad;
}

QLineEdit *ProcessMonitorPanel::serverLoadBox() const
{
    return m_serverLoad;
}

QLineEdit *ProcessMonitorPanel::memoryBox() const
{
    return m_memory;
}

QLineEdit *ProcessMonitorPanel::processCountBox() const
{
    return m_processCount;
}

QLineEdit *ProcessMonitorPanel::onlineUsersBox() const
{
    return m_onlineUsers;
}

void ProcessMonitorPanel::resetChart()
{
    m_clientSeries->clear();
    m_axisX->setRange(0, 100);
    m_axisY->setRange(0, 100);
    m_chartPoints = 0;
}

void ProcessMonitorPanel::RefreshInfo1()
{
    // One interval ends and the next begins at the same reading of the
    // clock, so the time the snapshot and the list take is counted in the
    // next interval instead of being lost (which would inflate every share).
    const qint64 now = m_clock.nsecsElapsed();
    const double elapsedMs = static_cast<double>(now - m_lastTickNs) / 1e6;
    const SampledTable table = takeProcessSnapshot();
    const auto owner = [&table](quint32 pid) { return table.owners.value(pid); };
    const auto memory = [&table](quint32 pid) { return table.workingSets.value(pid); };
    if (!m_sampler->refresh(table.processes, elapsedMs, owner, memory))
        return; // no time has passed: the next tick counts it
    m_lastTickNs = now;
    applySamplerToWidgets();
    if (m_hooks.alertSettings) {
        const AlertSettings settings = m_hooks.alertSettings();
        m_alerts->check(settings.client, settings.server, settings.total, m_clientLoad->text(), m_serverLoad->text(),
                        m_totalLoad->text());
    }
}

void ProcessMonitorPanel::applySamplerToWidgets()
{
    // The list is updated in place: rows are reused, added or removed at the
    // end, and a cell is touched only when its text changed.
    const auto &rows = m_sampler->rows();
    m_processList->setUpdatesEnabled(false);
    const int count = static_cast<int>(rows.size());
    if (m_processList->rowCount() != count)
        m_processList->setRowCount(count);
    for (int r = 0; r < count; ++r) {
        for (int c = 0; c < ProcessSampler::ColumnCount; ++c) {
            const QString &text = rows[static_cast<size_t>(r)].cells[c];
            QTableWidgetItem *item = m_processList->item(r, c);
            if (!item) {
                item = new QTableWidgetItem(text);
                if (c == ProcessSampler::ColPid || c == ProcessSampler::ColCpu)
                    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                m_processList->setItem(r, c, item);
            } else if (item->text() != text) {
                item->setText(text);
            }
        }
    }
    m_processList->setUpdatesEnabled(true);

    m_memory->setText(m_sampler->memoryTotal());
    if (const auto &point = m_sampler->lastPoint()) {
        m_processCount->setText(m_sampler->processCount());
        m_clientLoad->setText(m_sampler->clientLoad());
        m_serverLoad->setText(m_sampler->serverLoad());
        m_totalLoad->setText(m_sampler->totalLoad());
        m_clientSeries->append(point->x, point->client);
        m_serverSeries->append(point->x, point->server);
        m_chartPoints = static_cast<int>(m_sampler->chartX());
        m_axisX->setRange(m_sampler->axisMin(), m_sampler->axisMax());
        // Points left of the visible window are dropped (one is kept so the
        // line still enters from the edge), so that memory stays flat over
        // a long run.
        for (QLineSeries *series : {m_clientSeries, m_serverSeries}) {
            int drop = 0;
            while (drop + 1 < series->count() && series->at(drop + 1).x() < m_sampler->axisMin())
                ++drop;
            if (drop > 0)
                series->removePoints(0, drop);
        }
    }
}

void ProcessMonitorPanel::endSelectedProcesses()
{
    bool last = true;
    const QModelIndexList rows = m_processList->selectionModel()->selectedRows(ProcessSampler::ColPid);
    QList<int> order;
    for (const QModelIndex &index : rows)
        order << index.row();
    std::sort(order.begin(), order.end());
    if (order.isEmpty())
        return;
    for (int row : order) {
        const QTableWidgetItem *item = m_processList->item(row, ProcessSampler::ColPid);
        bool ok = false;
        const uint pid = item ? item->text().toUInt(&ok) : 0;
        last = ok && ProcessActions::KillProcess(pid);
    }
    if (!last)
        QMessageBox::critical(window(), QStringLiteral("Ошибка"), QStringLiteral("Невозможно завершение данного процесса"),
                              QMessageBox::Ok);
}

void ProcessMonitorPanel::clearProcessList()
{
    m_processList->setRowCount(0);
}

void ProcessMonitorPanel::showParts(bool chart, bool statusRows, bool processList)
{
    m_chartView->setVisible(chart);
    m_processList->setVisible(processList);
    m_row1->setVisible(statusRows);
    m_row2->setVisible(statusRows);
}

void ProcessMonitorPanel::fitFigureColumns()
{
    if (!m_processList)
        return;
    // A cell's text is drawn inside the focus-frame margin plus one pixel on
    // each side, and the grid line takes one pixel of the column. Each '9'
    // stands for any digit.
    const int textMargin = m_processList->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_processList) + 1;
    const int grid = m_processList->showGrid() ? 1 : 0;
    const struct {
        int column;
        QStringList widest;
    } columns[] = {
        {ProcessSampler::ColPid, {QStringLiteral("9999999")}},        // seven digits hold any Linux PID
        {ProcessSampler::ColCpu, {QStringLiteral("999.99")}},         // "100.00" of the idle row
        {ProcessSampler::ColMemory, {QStringLiteral("9999999 KБ")}}, // up to 9.5 GB of working set
    };
    for (const auto &c : columns) {
        const int values = widestFigureWidth(m_processList->font(), c.widest) + 2 * textMargin + grid;
        const int caption = m_processList->horizontalHeader()->sectionSizeHint(c.column);
        m_processList->setColumnWidth(c.column, std::max({kDesignColumnWidths[c.column], values, caption}));
    }
}

bool ProcessMonitorPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == m_chartView->viewport())
            emit chartFillRequested();
        else if (watched == m_processList->viewport())
            emit processListFillRequested();
    }
    if (watched == m_processList && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        fitFigureColumns();
    return QWidget::eventFilter(watched, event);
}

} // namespace dozorix
