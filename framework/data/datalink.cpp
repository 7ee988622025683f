#include "framework/data/datalink.h"

#include "framework/data/dataset.h"

TDataLink::TDataLink(QObject *owner) : QObject(owner) {}

void TDataLink::setDataSource(TDataSource *dataSource)
{
    if (dataSource == m_source)
        return;
    disconnect(m_sourceConnection);
    disconnect(m_sourceDestroyed);
    m_source = dataSource;
    if (dataSource) {
        m_sourceConnection =
            connect(dataSource, &TDataSource::dataSetChanged, this, &TDataLink::rebind);
        m_sourceDestroyed = connect(dataSource, &QObject::destroyed, this, &TDataLink::rebind);
    }
    rebind();
}

bool TDataLink::Active() const
{
    return m_dataSet && m_dataSet->Active();
}

void TDataLink::rebind()
{
    for (const auto &c : std::as_const(m_dataSetConnections))
        disconnect(c);
    m_dataSetConnections.clear();
    // A destroyed data source is still the sender of destroyed(): the
    // QPointer has already let go of it by then.
    m_dataSet = m_source ? m_source->DataSet() : nullptr;
    if (TDataSet *ds = m_dataSet) {
        m_dataSetConnections = {
            connect(ds, &TDataSet::dataSetChanged, this, &TDataLink::announceLayout),
            connect(ds, &TDataSet::recordChanged, this, &TDataLink::recordChanged),
            connect(ds, &TDataSet::rowsAppended, this, &TDataLink::rowsAppended),
            connect(ds, &TDataSet::fetchEnded, this, &TDataLink::fetchEnded),
            connect(ds, &TDataSet::currentChanged, this, [this] { emit currentChanged(); }),
            connect(ds, &TDataSet::stateChanged, this,
                    [this] {
                        // A dataset reports its rows before it reports being
                        // open; the rows only count once it is.
                        if (Active() != m_wasActive)
                            announceLayout();
                        emit stateChanged();
                    }),
            connect(ds, &QObject::destroyed, this, &TDataLink::rebind),
        };
    }
    announceLayout();
}

void TDataLink::announceLayout()
{
    m_wasActive = Active();
    emit layoutChanged();
}
