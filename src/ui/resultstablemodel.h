#pragma once

#include "core/resultmodel.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>

/// Presentation of a row's kind: label and colour.
namespace StatusStyle {
QString label(ResultKind kind); // "Registered", "Found", "Valid", "Not found", "Invalid", "Error"
QColor colour(ResultKind kind); // green when the kind passes, red otherwise
} // namespace StatusStyle

/// The results table's rows: one per FileResult, six columns. Every text
/// comes out as plain data (tooltips escaped), for a delegate to paint.
class ResultsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { StatusColumn, FileColumn, DigestColumn, TimestampColumn, ReceiptColumn, ScopeColumn, ColumnCount };
    /// The row's ResultKind (as int), for painting the light.
    static constexpr int KindRole = Qt::UserRole;

    explicit ResultsTableModel(QObject *parent = nullptr);

    const QList<FileResult> &rows() const { return m_rows; }
    void setRows(const QList<FileResult> &rows);

    /// "—", the first 12 + "…" + the last 8 from 22 characters on, or the whole digest.
    static QString abridgedDigest(const QString &sha256);
    /// "—", the first 10 + "…" + the last 6 above 17 characters, or the whole id.
    static QString abridgedReceipt(const QString &receiptId);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    /// Digest and receipt cells open a read-only editor holding the whole value,
    /// so it can be selected and copied; nothing is ever written back.
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    QList<FileResult> m_rows;
    QFont m_caption;
    QFont m_monoCaption;
};
