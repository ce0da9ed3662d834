#pragma once
// The process monitor of the main window's left column: the load chart
// (client blue, server green), the two status rows (total, client and
// server load; online users, memory and count of the 1C processes), the
// process list with its popup "Снять задачу", and the refresh that fills
// them from the sampler and then checks the load alerts.

#include "monitor/LoadAlerts.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QChart;
class QChartView;
class QLabel;
class QLineEdit;
class QLineSeries;
class QMenu;
class QTableWidget;
class QValueAxis;
class QVBoxLayout;

namespace dozorix {

class FigureBox;
class ProcessSampler;

class ProcessMonitorPanel : public QWidget
{
    Q_OBJECT
public:
    // The settings of the three load alerts at one refresh.
    struct AlertSettings {
        LoadAlerts::Settings client;
        LoadAlerts::Settings server;
        LoadAlerts::Settings total;
    };
    // What the panel needs from the main window; a missing hook leaves its
    // step out.
    struct Hooks {
        std::function<AlertSettings()> alertSettings;    // the settings file's mirrors: the alerts' checks
        std::function<void(const QString &text)> balloon; // a load alert's tray balloon
    };

    explicit ProcessMonitorPanel(QWidget *parent = nullptr);
    ~ProcessMonitorPanel() override;

    void setHooks(Hooks hooks);

    // The chart emptied, the load alerts, the sampler and its clock: made
    // once the program is known to run (a second console never samples).
    void start();
    // One sampler refresh (the main window's Timer6, every second):
    // snapshot, list, boxes, chart, then the load alerts.
    void RefreshInfo1();
    // "Снять задачу" on the selected rows of the process list.
    void endSelectedProcesses();
    void clearProcessList();
    // Which parts show; the main window's layout toggles hide the others.
    void showParts(bool chart, bool statusRows, bool processList);

    ProcessSampler *sampler() const { return m_sampler.get(); }
    LoadAlerts *loadAlerts() const { return m_alerts; }
    QMenu *processMenu() const { return m_processMenu; }
    QTableWidget *processList() const { return m_processList; }
    QChartView *chartView() const;
    QChart *chart() const { return m_chart; }
    QLineSeries *clientSeries() const { return m_clientSeries; }
    QLineSeries *serverSeries() const { return m_serverSeries; }
    QLineSeries *thirdSeries() const { return m_thirdSeries; }
    QValueAxis *axisX() const { return m_axisX; }
    QValueAxis *axisY() const { return m_axisY; }
    QLineEdit *totalLoadBox() const;
    QLineEdit *clientLoadBox() const;
    QLineEdit *serverLoadBox() const;
    QLineEdit *memoryBox() const;
    QLineEdit *processCountBox() const;
    // The online counter of the second status row: the main window fills it
    // from the tab shown ("Пользователи онлайн" or "Сервер терминалов").
    QLineEdit *onlineUsersBox() const;
    QLabel *onlineUsersLabel() const { return m_onlineLabel; }
    QWidget *statusRow1() const { return m_row1; }
    QWidget *statusRow2() const { return m_row2; }
    // The chart's point counter (the sampler advances it).
    int chartPoints() const { return m_chartPoints; }

signals:
    // A double click on the chart: the chart fills the window or returns.
    void chartFillRequested();
    // A double click on the process list: the list fills the window or returns.
    void processListFillRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildChart(QVBoxLayout *layout);
    void buildStatusRows(QVBoxLayout *layout);
    void buildProcessList(QVBoxLayout *layout);
    void resetChart();
    void applySamplerToWidgets();
    // Widens the figure columns of the process list to their widest values
    // under the list's font (the design widths are the least).
    void fitFigureColumns();

    Hooks m_hooks;
    std::unique_ptr<ProcessSampler> m_sampler;
    LoadAlerts *m_alerts = nullptr;
    // The sampler's clock and its reading at the last refresh.
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    int m_chartPoints = 0;

    QChartView *m_chartView = nullptr;
    QChart *m_chart = nullptr;
    QLineSeries *m_clientSeries = nullptr;
    QLineSeries *m_serverSeries = nullptr;
    QLineSeries *m_thirdSeries = nullptr;
    QValueAxis *m_axisX = nullptr;
    QValueAxis *m_axisY = nullptr;
    QWidget *m_row1 = nullptr;
    QWidget *m_row2 = nullptr;
    FigureBox *m_totalLoad = nullptr;
    FigureBox *m_clientLoad = nullptr;
    FigureBox *m_serverLoad = nullptr;
    FigureBox *m_onlineUsers = nullptr;
    FigureBox *m_memory = nullptr;
    FigureBox *m_processCount = nullptr;
    QLabel *m_onlineLabel = nullptr;
    QTableWidget *m_processList = nullptr;
    QMenu *m_processMenu = nullptr;
};

} // namespace dozorix
