#include "OnlineUsersModel.h"

#include "AgentWire.h"

#include <algorithm>

namespace dozorix {

namespace {
constexpr int kWidths[OnlineUsersModel::ColumnCount] = {25, 300, 130, 130, 90, 50, 50, 50};
}

OnlineUsersModel::OnlineUsersModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

OnlineUsersModel::~OnlineUsersModel() = default;

QStringList OnlineUsersModel::headers()
{
    return {QStringLiteral("№"),           QStringLiteral("Активная программа"), QStringLiteral("IP"),
            QStringLiteral("Компьютер"),   QStringLiteral("Пользователь"),       QStringLiteral("Тон.кл"),
            QStringLiteral("Тол.кл"),      QStringLiteral("1C v7")};
}

int OnlineUsersModel::columnWidth(int column)
{
    return column >= 0 && column < ColumnCount ? kWidths[column] : 0;
}

int OnlineUsersModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int OnlineUsersModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

OnlineUsersModel::Row *OnlineUsersModel::rowAt(int row) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size())
        return nullptr;
    return m_rows[m_rows.size() - 1 - static_cast<std::size_t>(row)].get();
}

int OnlineUsersModel::displayRow(const Row *r) const
{
    return static_cast<int>(m_rows.size() - 1 - r->slot);
}

QVariant OnlineUsersModel::data(const QModelIndex &index, int role) const
{
    const Row *r = rowAt(index.row());
    if (!r || index.column() < 0 || index.column() >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole) {
        if (index.column() == ColNumber)
            return QString::number(r->number);
        return r->hasColumns ? r->columns[static_cast<std::size_t>(index.column() - 1)] : QString();
    }
    if (role == Qt::TextAlignmentRole && (index.column() == ColProgram || index.column() == ColComputer))
        return QVariant(Qt::AlignCenter);
    return {};
}

QVariant OnlineUsersModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return headers().at(section);
    if (role == Qt::TextAlignmentRole && (section == ColProgram || section == ColComputer))
        return QVariant(Qt::AlignCenter);
    return {};
}

Qt::ItemFlags OnlineUsersModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

int OnlineUsersModel::findRow(const QString &address) const
{
    const Row *r = m_byAddress.value(address);
    return r ? displayRow(r) : -1;
}

void OnlineUsersModel::updateRow(int row, const QStringList &values, ConnectionId owner)
{
    Row *r = rowAt(row);
    if (!r)
        return;
    r->owner = owner;
    if (!r->hasColumns)
        return; // a row without columns never matches an address, so is never updated
    const int n = std::min<int>(static_cast<int>(values.size()), kDataColumns);
    int first = -1;
    int last = -1;
    for (int i = 0; i < n; ++i) {
        QString &cell = r->columns[static_cast<std::size_t>(i)];
        if (cell == values[i])
            continue;
        if (i == ColAddress - 1) {
            // The key changes: the index follows (the topmost row keeps it).
            if (m_byAddress.value(cell) == r)
                m_byAddress.remove(cell);
            cell = values[i];
            Row *other = m_byAddress.value(cell);
            if (!other || displayRow(other) > row)
                m_byAddress.insert(cell, r);
        } else {
            cell = values[i];
        }
        if (first < 0)
            first = i;
        last = i;
    }
    if (first >= 0)
        emit dataChanged(index(row, first + 1), index(row, last + 1), {Qt::DisplayRole});
}

void OnlineUsersModel::setOwner(int row, ConnectionId owner)
{
    if (Row *r = rowAt(row))
        r->owner = owner;
}

void OnlineUsersModel::insertTop(const QStringList &values, ConnectionId owner)
{
    auto r = std::make_unique<Row>();
    r->owner = owner;
    r->hasColumns = !values.isEmpty();
    if (r->hasColumns) {
        for (int i = 0; i < kDataColumns; ++i)
            r->columns[static_cast<std::size_t>(i)] = values.value(i);
    }
    r->slot = m_rows.size();
    Row *raw = r.get();
    beginInsertRows({}, 0, 0);
    m_rows.push_back(std::move(r));
    if (raw->hasColumns)
        m_byAddress.insert(raw->columns[ColAddress - 1], raw); // the new top row is the first match
    endInsertRows();
    renumber();
}

void OnlineUsersModel::removeRowAt(int row)
{
    Row *r = rowAt(row);
    if (!r)
        return;
    beginRemoveRows({}, row, row);
    const std::size_t slot = r->slot;
    QString address;
    const bool indexed = r->hasColumns && m_byAddress.value(r->columns[ColAddress - 1]) == r;
    if (indexed) {
        address = r->columns[ColAddress - 1];
        m_byAddress.remove(address);
    }
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(slot));
    for (std::size_t i = slot; i < m_rows.size(); ++i)
        m_rows[i]->slot = i;
    if (m_rows.empty())
        releaseCapacity();
    if (indexed) {
        // Another row with the same address (never made by status messages,
        // kept correct all the same): the topmost one takes the index.
        for (std::size_t i = m_rows.size(); i-- > 0;) {
            Row *other = m_rows[i].get();
            if (other->hasColumns && other->columns[ColAddress - 1] == address) {
                m_byAddress.insert(address, other);
                break;
            }
        }
    }
    endRemoveRows();
}

int OnlineUsersModel::removeRowsIf(const std::function<bool(ConnectionId, bool, const QString &)> &pred)
{
    int removed = 0;
    for (int row = 0; row < rowCount();) {
        const Row *r = rowAt(row);
        const QString address = r->hasColumns ? r->columns[ColAddress - 1] : QString();
        if (pred(r->owner, r->hasColumns, address)) {
            removeRowAt(row);
            ++removed;
        } else {
            ++row;
        }
    }
    return removed;
}

void OnlineUsersModel::renumber()
{
    const int count = rowCount();
    bool changed = false;
    for (int row = 0; row < count; ++row) {
        Row *r = rowAt(row);
        if (r->number != row + 1) {
            r->number = row + 1;
            changed = true;
        }
    }
    if (changed)
        emit dataChanged(index(0, ColNumber), index(count - 1, ColNumber), {Qt::DisplayRole});
}

void OnlineUsersModel::clear()
{
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows.clear();
    m_byAddress.clear();
    releaseCapacity();
    endResetModel();
}

void OnlineUsersModel::releaseCapacity()
{
    // The last agent has gone: the room kept for a crowd goes back too.
    std::vector<std::unique_ptr<Row>>().swap(m_rows);
    m_byAddress = QHash<QString, Row *>();
}

bool OnlineUsersModel::hasColumns(int row) const
{
    const Row *r = rowAt(row);
    return r && r->hasColumns;
}

QString OnlineUsersModel::cell(int row, int column) const
{
    const Row *r = rowAt(row);
    if (!r || column < 0 || column >= ColumnCount)
        return QString();
    if (column == ColNumber)
        return QString::number(r->number);
    return r->hasColumns ? r->columns[static_cast<std::size_t>(column - 1)] : QString();
}

ConnectionId OnlineUsersModel::owner(int row) const
{
    const Row *r = rowAt(row);
    return r ? r->owner : 0;
}

int OnlineUsersModel::rowsOwnedBy(ConnectionId owner) const
{
    return static_cast<int>(std::count_if(m_rows.begin(), m_rows.end(),
                                          [owner](const std::unique_ptr<Row> &r) { return r->owner == owner; }));
}

QString OnlineUsersModel::userOf(const QString &address) const
{
    const Row *r = m_byAddress.value(address);
    return r ? r->columns[ColUser - 1] : QString();
}

OnlineUsersModel::Sums OnlineUsersModel::sums() const
{
    Sums s;
    for (std::size_t i = m_rows.size(); i-- > 0;) {
        const Row *r = m_rows[i].get();
        if (!r->hasColumns)
            continue;
        int v = 0;
        if (!parseWholeNumber(r->columns[ColThin - 1], &v))
            continue;
        s.thin += v;
        if (!parseWholeNumber(r->columns[ColThick - 1], &v))
            continue;
        s.thick += v;
        if (!parseWholeNumber(r->columns[ColV7 - 1], &v))
            continue;
        s.v7 += v;
    }
    return s;
}

bool OnlineUsersModel::consistent() const
{
    int indexed = 0;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const Row *r = m_rows[i].get();
        if (r->slot != i)
            return false;
        if (!r->hasColumns)
            continue;
        const Row *first = m_byAddress.value(r->columns[ColAddress - 1]);
        if (!first)
            return false;
        if (first == r)
            ++indexed;
        else if (displayRow(first) > displayRow(r))
            return false; // the index must hold the topmost row of an address
    }
    return indexed == m_byAddress.size();
}

} // namespace dozorix
