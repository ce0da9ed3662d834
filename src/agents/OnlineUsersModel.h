#pragma once
// The online-users table: one row per announced agent, new rows at the top.
// Rows are found by their "IP" column through an index, so that a status
// message costs the same with 2 000 agents as with 2. Rows are kept in a
// vector newest-last (display row r is slot size-1-r), so adding a row at
// the top moves nothing; removing one shifts the newer rows by one slot.
//
// Each row remembers the connection that last wrote it (its owner), so that
// rows never outlive their connection.

#include "AgentConnections.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <vector>

namespace dozorix {

class OnlineUsersModel : public QAbstractTableModel
{
public:
    enum Column : int {
        ColNumber = 0,     // "№"
        ColProgram = 1,    // "Активная программа"
        ColAddress = 2,    // "IP"
        ColComputer = 3,   // "Компьютер"
        ColUser = 4,       // "Пользователь"
        ColThin = 5,       // "Тон.кл"
        ColThick = 6,      // "Тол.кл"
        ColV7 = 7,         // "1C v7"
        ColumnCount = 8,
    };
    static constexpr int kDataColumns = 7; // "Активная программа" … "1C v7"

    struct Sums {
        qint64 thin = 0;
        qint64 thick = 0;
        qint64 v7 = 0;
        qint64 total() const { return thin + thick + v7; }
    };

    explicit OnlineUsersModel(QObject *parent = nullptr);
    ~OnlineUsersModel() override;

    static QStringList headers();
    static int columnWidth(int column);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // The first row from the top whose "IP" column is address; -1 when none.
    // Rows without columns never match.
    int findRow(const QString &address) const;
    // Sets the data columns from status fields 2 … (2 + values.size() - 1);
    // at most seven values. The row's owner becomes owner.
    void updateRow(int row, const QStringList &values, ConnectionId owner);
    void setOwner(int row, ConnectionId owner);
    // Inserts a row at the top and renumbers every row, as one update. A
    // row with columns takes seven values; an empty list makes a row
    // without columns.
    void insertTop(const QStringList &values, ConnectionId owner);
    void removeRowAt(int row);
    // Removes every row for which pred(owner, hasColumns, address) holds.
    int removeRowsIf(const std::function<bool(ConnectionId, bool, const QString &)> &pred);
    // Numbers the rows 1, 2, 3 … from the top.
    void renumber();
    void clear();

    bool hasColumns(int row) const;
    QString cell(int row, int column) const;
    ConnectionId owner(int row) const;
    int rowsOwnedBy(ConnectionId owner) const;
    // The "Пользователь" column of the row with that address (empty when none).
    QString userOf(const QString &address) const;

    // Per row from the top: "Тон.кл", "Тол.кл", "1C v7" read as whole
    // numbers in that order; a value that is not one ends that row's part.
    Sums sums() const;

    // True when the address index, the slots and the rows agree.
    bool consistent() const;

private:
    struct Row {
        bool hasColumns = false;
        std::array<QString, kDataColumns> columns;
        int number = 0;
        ConnectionId owner = 0;
        std::size_t slot = 0;
    };
    Row *rowAt(int row) const;
    void releaseCapacity();
    int displayRow(const Row *r) const;

    std::vector<std::unique_ptr<Row>> m_rows; // newest last
    QHash<QString, Row *> m_byAddress;
};

} // namespace dozorix
