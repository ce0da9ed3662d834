#include "agents/OnlineUsersModel.h"

#include "agents/AgentWire.h"

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
    return parent.isValid() ? 0 : m_rowCount;
}

int OnlineUsersModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

// Fenwick tree -------------------------------------------------------------

void OnlineUsersModel::Fenwick::pushBack(int value)
{
    // Node n covers slots (n - lowbit(n), n]: the new value plus the sum of
    // the older slots it covers.
    const std::size_t n = m_tree.size() + 1;
    const std::size_t low = n & (~n + 1);
    int sum = value;
    if (n > 1)
        sum += prefix(n - 2) - (n - low >= 1 ? prefix(n - low - 1) : 0);
    m_tree.push_back(sum);
}

void OnlineUsersModel::Fenwick::add(std::size_t slot, int delta)
{
    for (std::size_t n = slot + 1; n <= m_tree.size(); n += n & (~n + 1))
        m_tree[n - 1] += delta;
}

int OnlineUsersModel::Fenwick::prefix(std::size_t slot) const
{
    int sum = 0;
    for (std::size_t n = std::min(slot + 1, m_tree.size()); n > 0; n -= n & (~n + 1))
        sum += m_tree[n - 1];
    return sum;
}

std::size_t OnlineUsersModel::Fenwick::kth(int k) const
{
    std::size_t pos = 0;
    std::size_t step = 1;
    while (step * 2 <= m_tree.size())
        step *= 2;
    for (; step > 0; step /= 2) {
        if (pos + step <= m_tree.size() && m_tree[pos + step - 1] < k) {
            pos += step;
            k -= m_tree[pos - 1];
        }
    }
    return pos; // 0-based slot: nodes 1 … pos sum to less than k
}

void OnlineUsersModel::Fenwick::rebuild(const std::vector<unsigned char> &values, unsigned char mask)
{
    m_tree.assign(values.size(), 0);
    for (std::size_t n = 1; n <= m_tree.size(); ++n) {
        m_tree[n - 1] += (values[n - 1] & mask) ? 1 : 0;
        const std::size_t parent = n + (n & (~n + 1));
        if (parent <= m_tree.size())
            m_tree[parent - 1] += m_tree[n - 1];
    }
}

// Slots and indexes ----------------------------------------------------------

OnlineUsersModel::Row *OnlineUsersModel::rowAt(int row) const
{
    if (row < 0 || row >= m_rowCount)
        return nullptr;
    // Display row r is the (count - r)-th row from the oldest slot.
    return m_slots[m_live.kth(m_rowCount - row)].get();
}

int OnlineUsersModel::displayRow(const Row *r) const
{
    return m_rowCount - m_live.prefix(r->slot);
}

int OnlineUsersModel::numberOf(const Row *r) const
{
    return 1 + m_countedCount - m_counted.prefix(r->slot);
}

void OnlineUsersModel::linkAddress(Row *r)
{
    if (!r->hasColumns)
        return;
    auto it = m_byAddress.find(r->address());
    if (it == m_byAddress.end()) {
        r->nextSameAddress = nullptr;
        m_byAddress.insert(r->address(), r);
        return;
    }
    // Topmost (highest slot) first.
    Row **link = &it.value();
    while (*link && (*link)->slot > r->slot)
        link = &(*link)->nextSameAddress;
    r->nextSameAddress = *link;
    *link = r;
}

void OnlineUsersModel::unlinkAddress(Row *r)
{
    if (!r->hasColumns)
        return;
    auto it = m_byAddress.find(r->address());
    if (it == m_byAddress.end())
        return;
    Row **link = &it.value();
    while (*link && *link != r)
        link = &(*link)->nextSameAddress;
    if (*link)
        *link = r->nextSameAddress;
    r->nextSameAddress = nullptr;
    if (!it.value())
        m_byAddress.erase(it);
}

void OnlineUsersModel::linkOwner(Row *r)
{
    Owned &o = m_byOwner[r->owner];
    r->prevOwned = nullptr;
    r->nextOwned = o.head;
    if (o.head)
        o.head->prevOwned = r;
    o.head = r;
    ++o.count;
    ++m_rowsByHost[r->host];
}

void OnlineUsersModel::unlinkOwner(Row *r)
{
    auto it = m_byOwner.find(r->owner);
    if (it != m_byOwner.end()) {
        if (r->prevOwned)
            r->prevOwned->nextOwned = r->nextOwned;
        else
            it->head = r->nextOwned;
        if (r->nextOwned)
            r->nextOwned->prevOwned = r->prevOwned;
        if (--it->count <= 0)
            m_byOwner.erase(it);
    }
    r->prevOwned = r->nextOwned = nullptr;
    auto host = m_rowsByHost.find(r->host);
    if (host != m_rowsByHost.end() && --host.value() <= 0)
        m_rowsByHost.erase(host);
}

void OnlineUsersModel::dropNumbering()
{
    // The rows removed since the last renumbering stop counting.
    for (std::size_t slot : m_removedSince) {
        m_counted.add(slot, -1);
        m_state[slot] = Empty;
    }
    m_countedCount -= static_cast<int>(m_removedSince.size());
    m_removedSince.clear();
}

void OnlineUsersModel::compact()
{
    std::size_t keep = 0;
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        if (m_state[i] == Empty)
            continue;
        m_state[keep] = m_state[i];
        m_slots[keep] = std::move(m_slots[i]);
        if (m_slots[keep])
            m_slots[keep]->slot = keep;
        ++keep;
    }
    m_slots.resize(keep);
    m_state.resize(keep);
    m_slots.shrink_to_fit();
    m_state.shrink_to_fit();
    m_removedSince.clear();
    for (std::size_t i = 0; i < keep; ++i) {
        if (m_state[i] == Counted)
            m_removedSince.push_back(i);
    }
    m_live.rebuild(m_state, Live);
    m_counted.rebuild(m_state, Live | Counted);
}

QVariant OnlineUsersModel::data(const QModelIndex &index, int role) const
{
    const Row *r = rowAt(index.row());
    if (!r || index.column() < 0 || index.column() >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole) {
        if (index.column() == ColNumber)
            return QString::number(numberOf(r));
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

void OnlineUsersModel::updateRow(int row, const QStringList &values, ConnectionId owner, const QString &host)
{
    finishLayoutChange();
    Row *r = rowAt(row);
    if (!r)
        return;
    setOwner(row, owner, host);
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
            // The key changes: the row moves to the other address's list.
            unlinkAddress(r);
            cell = values[i];
            linkAddress(r);
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

void OnlineUsersModel::setOwner(int row, ConnectionId owner, const QString &host)
{
    Row *r = rowAt(row);
    if (!r || (r->owner == owner && r->host == host))
        return;
    unlinkOwner(r);
    r->owner = owner;
    r->host = host;
    linkOwner(r);
}

void OnlineUsersModel::insertTop(const QStringList &values, ConnectionId owner, const QString &host)
{
    finishLayoutChange();
    auto r = std::make_unique<Row>();
    r->owner = owner;
    r->host = host;
    r->hasColumns = !values.isEmpty();
    if (r->hasColumns) {
        for (int i = 0; i < kDataColumns; ++i)
            r->columns[static_cast<std::size_t>(i)] = values.value(i);
    }
    r->slot = m_slots.size();
    Row *raw = r.get();
    beginInsertRows({}, 0, 0);
    m_slots.push_back(std::move(r));
    m_state.push_back(Live);
    m_live.pushBack(1);
    m_counted.pushBack(1);
    ++m_rowCount;
    ++m_countedCount;
    linkAddress(raw); // the new top row is the first match
    linkOwner(raw);
    endInsertRows();
    // Every row is numbered from the top again.
    dropNumbering();
    emit dataChanged(index(0, ColNumber), index(m_rowCount - 1, ColNumber), {Qt::DisplayRole});
}

void OnlineUsersModel::removeRowAt(int row)
{
    Row *r = rowAt(row);
    if (!r)
        return;
    const bool batched = m_batchDepth > 0;
    if (batched)
        startLayoutChange();
    else
        beginRemoveRows({}, row, row);
    unlinkAddress(r);
    unlinkOwner(r);
    const std::size_t slot = r->slot;
    m_slots[slot].reset();
    m_state[slot] = Counted; // keeps its place in the numbering until the next renumbering
    m_removedSince.push_back(slot);
    m_live.add(slot, -1);
    --m_rowCount;
    if (!batched) {
        tidy();
        endRemoveRows();
    }
}

void OnlineUsersModel::tidy()
{
    if (m_layoutChanging)
        return; // the slots are still needed
    if (m_rowCount == 0)
        releaseCapacity();
    else if (m_slots.size() > 1024 && m_slots.size() - m_removedSince.size() > 2 * static_cast<std::size_t>(m_rowCount))
        compact(); // empty slots outnumber the rows
}

void OnlineUsersModel::startLayoutChange()
{
    if (m_layoutChanging)
        return;
    emit layoutAboutToBeChanged();
    m_layoutChanging = true;
    m_layoutFrom = persistentIndexList();
    m_layoutSlots.clear();
    m_layoutSlots.reserve(static_cast<std::size_t>(m_layoutFrom.size()));
    for (const QModelIndex &i : std::as_const(m_layoutFrom)) {
        const Row *r = i.isValid() ? rowAt(i.row()) : nullptr;
        m_layoutSlots.push_back(r ? r->slot : static_cast<std::size_t>(-1));
    }
}

void OnlineUsersModel::finishLayoutChange()
{
    if (!m_layoutChanging)
        return;
    QModelIndexList to;
    to.reserve(m_layoutFrom.size());
    for (qsizetype i = 0; i < m_layoutFrom.size(); ++i) {
        const std::size_t slot = m_layoutSlots[static_cast<std::size_t>(i)];
        if (slot < m_state.size() && m_state[slot] == Live)
            to << index(m_rowCount - m_live.prefix(slot), m_layoutFrom[i].column());
        else
            to << QModelIndex();
    }
    changePersistentIndexList(m_layoutFrom, to);
    m_layoutFrom.clear();
    m_layoutSlots.clear();
    m_layoutChanging = false;
    tidy();
    emit layoutChanged();
}

void OnlineUsersModel::endBatch()
{
    if (m_batchDepth > 0 && --m_batchDepth == 0)
        finishLayoutChange();
}

int OnlineUsersModel::releaseOwner(ConnectionId owner, const std::function<Heir(const QString &)> &heir)
{
    const auto it = m_byOwner.constFind(owner);
    if (it == m_byOwner.constEnd())
        return 0;
    std::vector<Row *> rows;
    rows.reserve(static_cast<std::size_t>(it->count));
    for (Row *r = it->head; r; r = r->nextOwned)
        rows.push_back(r);
    std::sort(rows.begin(), rows.end(), [](const Row *a, const Row *b) { return a->slot > b->slot; });
    int removed = 0;
    for (Row *r : rows) {
        const Heir h = r->hasColumns && heir ? heir(r->address()) : Heir{};
        const int row = displayRow(r); // after the removals above it
        if (h.id != 0) {
            setOwner(row, h.id, h.host); // no signal: a batch goes on
        } else {
            removeRowAt(row);
            ++removed;
        }
    }
    return removed;
}

int OnlineUsersModel::removeRowsIf(const std::function<bool(ConnectionId, bool, const QString &)> &pred)
{
    int removed = 0;
    for (int row = 0; row < rowCount();) {
        const Row *r = rowAt(row);
        const QString address = r->hasColumns ? r->address() : QString();
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
    finishLayoutChange();
    if (m_removedSince.empty())
        return; // every row has its number
    // A number changes only for rows below a removed one.
    const std::size_t topSlot = m_rowCount > 0 ? m_live.kth(m_rowCount) : 0;
    const bool changed = m_rowCount > 0
        && std::any_of(m_removedSince.begin(), m_removedSince.end(), [topSlot](std::size_t s) { return s < topSlot; });
    dropNumbering();
    if (m_slots.size() > 1024 && m_slots.size() > 2 * static_cast<std::size_t>(m_rowCount))
        compact();
    if (changed)
        emit dataChanged(index(0, ColNumber), index(m_rowCount - 1, ColNumber), {Qt::DisplayRole});
}

void OnlineUsersModel::clear()
{
    finishLayoutChange();
    if (m_rowCount == 0 && m_slots.empty())
        return;
    beginResetModel();
    releaseCapacity();
    endResetModel();
}

void OnlineUsersModel::releaseCapacity()
{
    // The last agent has gone: the room kept for a crowd goes back too.
    std::vector<std::unique_ptr<Row>>().swap(m_slots);
    std::vector<unsigned char>().swap(m_state);
    std::vector<std::size_t>().swap(m_removedSince);
    m_live.clear();
    m_counted.clear();
    m_rowCount = 0;
    m_countedCount = 0;
    m_byAddress = QHash<QString, Row *>();
    m_byOwner = QHash<ConnectionId, Owned>();
    m_rowsByHost = QHash<QString, int>();
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
        return QString::number(numberOf(r));
    return r->hasColumns ? r->columns[static_cast<std::size_t>(column - 1)] : QString();
}

ConnectionId OnlineUsersModel::owner(int row) const
{
    const Row *r = rowAt(row);
    return r ? r->owner : 0;
}

int OnlineUsersModel::rowsOwnedBy(ConnectionId owner) const
{
    return m_byOwner.value(owner).count;
}

QString OnlineUsersModel::userOf(const QString &address) const
{
    const Row *r = m_byAddress.value(address);
    return r ? r->columns[ColUser - 1] : QString();
}

OnlineUsersModel::Sums OnlineUsersModel::sums() const
{
    Sums s;
    for (std::size_t i = m_slots.size(); i-- > 0;) {
        const Row *r = m_slots[i].get();
        if (!r || !r->hasColumns)
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
    if (m_slots.size() != m_state.size() || m_live.size() != m_slots.size() || m_counted.size() != m_slots.size())
        return false;
    int live = 0;
    int counted = 0;
    int addressed = 0;
    QHash<ConnectionId, int> owned;
    QHash<QString, int> hosts;
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        const Row *r = m_slots[i].get();
        if ((r != nullptr) != (m_state[i] == Live))
            return false;
        counted += m_state[i] != Empty;
        if (m_counted.prefix(i) != counted)
            return false;
        if (!r) {
            if (m_live.prefix(i) != live)
                return false;
            continue;
        }
        ++live;
        if (r->slot != i || m_live.prefix(i) != live)
            return false;
        ++owned[r->owner];
        ++hosts[r->host];
        if (!r->hasColumns)
            continue;
        ++addressed;
        // The row is on its address's list, which runs from the top down.
        const Row *p = m_byAddress.value(r->address());
        bool found = false;
        for (const Row *prev = nullptr; p; prev = p, p = p->nextSameAddress) {
            if (prev && prev->slot <= p->slot)
                return false;
            if (p->address() != r->address())
                return false;
            found = found || p == r;
        }
        if (!found)
            return false;
    }
    if (live != m_rowCount || counted != m_countedCount)
        return false;
    int listed = 0;
    for (auto it = m_byAddress.cbegin(); it != m_byAddress.cend(); ++it) {
        for (const Row *p = it.value(); p; p = p->nextSameAddress)
            ++listed;
    }
    if (listed != addressed)
        return false;
    if (owned.size() != m_byOwner.size() || hosts != m_rowsByHost)
        return false;
    for (auto it = m_byOwner.cbegin(); it != m_byOwner.cend(); ++it) {
        int n = 0;
        for (const Row *p = it->head; p; p = p->nextOwned) {
            if (p->owner != it.key() || (p->nextOwned && p->nextOwned->prevOwned != p))
                return false;
            ++n;
        }
        if (n != it->count || owned.value(it.key()) != n)
            return false;
    }
    return true;
}

} // namespace dozorix
