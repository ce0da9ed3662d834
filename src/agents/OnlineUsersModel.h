#pragma once
// The online-users table: one row per announced agent, new rows at the top.
//
// Rows live in slots numbered in the order they were made (newest highest);
// a removed row leaves an empty slot, so nothing moves. Two Fenwick trees
// over the slots turn a display row into its slot and back in O(log n): one
// counts the rows there are, the other the rows the "№" column counts (the
// rows there are plus those removed since the last renumbering, which keep
// their place in the numbering until the next one). Empty slots are
// squeezed out, all at once, when they outnumber the rows.
//
// Three indexes keep every lookup to the rows concerned: by "IP" column
// (all rows of an address, topmost first), by owner (the connection that
// last wrote the row) and by host (the remote address of that connection).
// So a status message, a "#err" and a disconnect cost the same with 100 000
// rows as with 2.

#include "agents/AgentConnections.h"

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
    // host is the owner's remote address (see rowsOfHost).
    void updateRow(int row, const QStringList &values, ConnectionId owner, const QString &host = {});
    void setOwner(int row, ConnectionId owner, const QString &host = {});
    // Inserts a row at the top and renumbers every row, as one update. A
    // row with columns takes seven values; an empty list makes a row
    // without columns.
    void insertTop(const QStringList &values, ConnectionId owner, const QString &host = {});
    void removeRowAt(int row);
    // The connection owner has ended. Each of its rows, from the top, either
    // passes to heir(address of the row) when that gives a connection, or
    // goes (a row without columns always goes). Returns the rows removed.
    struct Heir {
        ConnectionId id = 0;
        QString host;
    };
    int releaseOwner(ConnectionId owner, const std::function<Heir(const QString &)> &heir);
    // Removes every row for which pred(owner, hasColumns, address) holds.
    int removeRowsIf(const std::function<bool(ConnectionId, bool, const QString &)> &pred);
    // Numbers the rows 1, 2, 3 … from the top.
    void renumber();

    // Rows removed between beginBatch() and endBatch() reach the views as
    // one change of layout (selection and current row follow their rows)
    // instead of one removal each: a view's row header spends time in
    // proportion to all rows on every removal. Any other change within the
    // batch first completes the removals so far. Batches nest.
    void beginBatch() { ++m_batchDepth; }
    void endBatch();
    class Batch
    {
    public:
        explicit Batch(OnlineUsersModel &model)
            : m_model(model)
        {
            m_model.beginBatch();
        }
        ~Batch() { m_model.endBatch(); }
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        OnlineUsersModel &m_model;
    };
    void clear();

    bool hasColumns(int row) const;
    QString cell(int row, int column) const;
    ConnectionId owner(int row) const;
    int rowsOwnedBy(ConnectionId owner) const;
    // Rows whose owner connected from host.
    int rowsOfHost(const QString &host) const { return m_rowsByHost.value(host); }
    // The "Пользователь" column of the row with that address (empty when none).
    QString userOf(const QString &address) const;

    // Per row from the top: "Тон.кл", "Тол.кл", "1C v7" read as whole
    // numbers in that order; a value that is not one ends that row's part.
    Sums sums() const;

    // True when the indexes, the slots, the counts and the rows agree.
    bool consistent() const;

private:
    struct Row {
        bool hasColumns = false;
        std::array<QString, kDataColumns> columns;
        ConnectionId owner = 0;
        QString host;
        std::size_t slot = 0;
        Row *prevOwned = nullptr; // rows of the same owner
        Row *nextOwned = nullptr;
        Row *nextSameAddress = nullptr; // the next lower row with this address
        const QString &address() const { return columns[ColAddress - 1]; }
    };
    // Sums over slots: add, prefix sums and the k-th one, all O(log n).
    class Fenwick
    {
    public:
        void clear() { std::vector<int>().swap(m_tree); }
        std::size_t size() const { return m_tree.size(); }
        void pushBack(int value);
        void add(std::size_t slot, int delta);
        int prefix(std::size_t slot) const; // sum over slots 0 … slot
        // The lowest slot whose prefix sum reaches k (k >= 1).
        std::size_t kth(int k) const;
        void rebuild(const std::vector<unsigned char> &values, unsigned char mask);

    private:
        std::vector<int> m_tree; // 1-based
    };
    enum SlotState : unsigned char { Empty = 0, Live = 1, Counted = 2 };
    struct Owned {
        Row *head = nullptr;
        int count = 0;
    };

    Row *rowAt(int row) const;
    int displayRow(const Row *r) const;
    int numberOf(const Row *r) const;
    void linkAddress(Row *r);
    void unlinkAddress(Row *r);
    void linkOwner(Row *r);
    void unlinkOwner(Row *r);
    void dropNumbering();
    void compact();
    // Squeezes out empty slots when they outnumber the rows; frees
    // everything when no row is left.
    void tidy();
    void startLayoutChange();
    void finishLayoutChange();
    void releaseCapacity();

    std::vector<std::unique_ptr<Row>> m_slots; // oldest first; null when removed
    std::vector<unsigned char> m_state;        // per slot: Live | Counted
    Fenwick m_live;                            // rows there are
    Fenwick m_counted;                         // rows the "№" column counts
    std::vector<std::size_t> m_removedSince;   // slots removed since the last renumbering
    int m_rowCount = 0;
    int m_countedCount = 0;
    QHash<QString, Row *> m_byAddress; // the topmost row of each address
    QHash<ConnectionId, Owned> m_byOwner;
    QHash<QString, int> m_rowsByHost;
    int m_batchDepth = 0;
    bool m_layoutChanging = false;
    QModelIndexList m_layoutFrom;            // persistent indexes when the layout change began
    std::vector<std::size_t> m_layoutSlots;  // the slot of each one's row
};

} // namespace dozorix
