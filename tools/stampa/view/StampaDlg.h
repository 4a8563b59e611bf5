// The "Stampa" tab: one burn page per chip platform of this station.
#pragma once

#include "StampaPlatform.h"

#include <QWidget>

#include <vector>

class CStampaPageBase;
class QComboBox;
class QTabWidget;

class StampaDlg : public QWidget {
    Q_OBJECT
public:
    // The platforms come from corvane.ini, [Stampa] Project_Type.
    Q_INVOKABLE explicit StampaDlg(QWidget* parent = nullptr);

    int pageCount() const { return static_cast<int>(m_pages.size()); }
    CStampaPageBase* page(int index) const { return m_pages.at(static_cast<size_t>(index)); }
    // The page of the selected "Prj Type:" entry.
    CStampaPageBase* currentPage() const;

public slots:
    void onPrjTypeChanged(int index);

private:
    QComboBox* m_prjType = nullptr;
    QTabWidget* m_tabs = nullptr;
    std::vector<CStampaPageBase*> m_pages;
};

// A page of `platform` (StampaAlder, CStampaBirchCommon, ...).
CStampaPageBase* create_stampa_page(stampa::Platform platform, QWidget* parent);
