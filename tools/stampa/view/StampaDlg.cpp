#include "StampaDlg.h"

#include "StampaPage.h"
#include "StampaPages.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

CStampaPageBase* create_stampa_page(stampa::Platform platform, QWidget* parent)
{
    switch (platform) {
    case stampa::Platform::Alder: return new StampaAlder(parent);
    case stampa::Platform::Birch: return new CStampaBirchCommon(parent);
    case stampa::Platform::Dogwood: return new CStampaDogwood(parent);
    case stampa::Platform::Cedar: return new CStampaCedar(parent);
    }
    return nullptr;
}

StampaDlg::StampaDlg(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Stampa"));
    m_prjType = new QComboBox(this);
    m_prjType->setObjectName("prjType");
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName("pages");
    for (stampa::Platform p : stampa::parse_project_types(stampa::StampaSettings::load().project_type)) {
        CStampaPageBase* page = create_stampa_page(p, m_tabs);
        const QString key = QString::fromUtf8(stampa::platform_info(p).key);
        m_pages.push_back(page);
        m_prjType->addItem(key);
        m_tabs->addTab(page, key);
    }
    auto* head = new QHBoxLayout;
    head->addWidget(new QLabel(QStringLiteral("Prj Type:"), this));
    head->addWidget(m_prjType, 1);
    auto* top = new QVBoxLayout(this);
    top->addLayout(head);
    top->addWidget(m_tabs, 1);
    connect(m_prjType, qOverload<int>(&QComboBox::currentIndexChanged), this, &StampaDlg::onPrjTypeChanged);
    connect(m_tabs, &QTabWidget::currentChanged, m_prjType, &QComboBox::setCurrentIndex);
    // The second entry is the one selected at start.
    int first = m_pages.size() > 1 ? 1 : 0;
    m_prjType->setCurrentIndex(first);
    onPrjTypeChanged(first);
}

CStampaPageBase* StampaDlg::currentPage() const
{
    int i = m_prjType->currentIndex();
    return i >= 0 && i < pageCount() ? page(i) : nullptr;
}

void StampaDlg::onPrjTypeChanged(int index)
{
    if (index >= 0 && index < pageCount())
        m_tabs->setCurrentIndex(index);
}
