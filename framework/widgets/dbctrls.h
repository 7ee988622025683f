#pragma once

// Data-aware companions of the grid: a navigator bar and a label showing one
// field of the current record.

#include <QLabel>
#include <QStringList>
#include <QWidget>

class QToolButton;
class TDataLink;
class TDataSet;
class TDataSource;

enum TNavigateBtn
{
    nbFirst,
    nbPrior,
    nbNext,
    nbLast
};

/// First / prior / next / last buttons on the dataset of a data source,
/// enabled by the position of its current record.
class TDBNavigator : public QWidget
{
    Q_OBJECT
public:
    explicit TDBNavigator(QWidget *parent = nullptr);

    TDataSource *DataSource() const;
    void setDataSource(TDataSource *dataSource);

    /// Tooltips of the buttons in order first, prior, next, last; a missing
    /// or empty entry gives that button no tooltip. Read when a tooltip is due.
    QStringList Hints;

    QToolButton *Button(TNavigateBtn button) const;
    /// Moves the dataset; its exceptions reach the caller.
    void BtnClick(TNavigateBtn button);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateButtons();

    TDataLink *m_link;
    QToolButton *m_buttons[4] = {};
};

/// Shows the value of DataField in the current record of its data source;
/// empty when unbound, closed or on an empty dataset.
class TDBText : public QLabel
{
    Q_OBJECT
public:
    explicit TDBText(QWidget *parent = nullptr);

    TDataSource *DataSource() const;
    /// Raises EDatabaseError when the data source's dataset is open and has no
    /// field named DataField.
    void setDataSource(TDataSource *dataSource);
    QString DataField() const { return m_dataField; }
    void setDataField(const QString &fieldName);

private:
    void checkField() const;
    void refresh();

    TDataLink *m_link;
    QString m_dataField;
};
