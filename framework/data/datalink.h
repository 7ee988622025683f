#pragma once

// Follows a data source and whatever dataset it is bound to, so that the
// data-aware widgets see one set of notifications even when the data source
// is rebound, its dataset is replaced, or either is destroyed.

#include <QObject>
#include <QPointer>

class TDataSet;
class TDataSource;

class TDataLink : public QObject
{
    Q_OBJECT
public:
    explicit TDataLink(QObject *owner);

    TDataSource *DataSource() const { return m_source; }
    void setDataSource(TDataSource *dataSource);
    /// The dataset bound now, or nullptr.
    TDataSet *DataSet() const { return m_dataSet; }
    bool Active() const;

signals:
    /// Another dataset, or the rows changed wholesale (open, close, load).
    void layoutChanged();
    void recordChanged(qsizetype row);
    void currentChanged();
    void stateChanged();
    /// A background load added rows at the end (see TDataSet::rowsAppended).
    void rowsAppended(qsizetype first, qsizetype count);
    /// A background load ended (see TDataSet::fetchEnded).
    void fetchEnded();

private:
    void rebind();
    void announceLayout();

    QPointer<TDataSource> m_source;
    QPointer<TDataSet> m_dataSet;
    QMetaObject::Connection m_sourceConnection;
    QMetaObject::Connection m_sourceDestroyed;
    QList<QMetaObject::Connection> m_dataSetConnections;
    bool m_wasActive = false;
};
