#include "clients/velkoeyedx/velkoeyedxprop.h"

#include <QTreeWidgetItem>
#include <QVBoxLayout>
#include <utility>
#include <vector>

#include "clients/velkoeyedx/propertygridctrl.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"

namespace {

const QString kSelectedCell = QStringLiteral("Selected Cell");

// The "Selected Cell" items in their order, with their descriptions.
const std::pair<const char*, const char*> kCellItems[] = {
    {"cell num", "Cell number"}, {"cell row", "Cell row"}, {"cell col", "Cell col"},
    {"UTM X", "UTM X"},          {"UTM Y", "UTM Y"},       {"height", "height"},
};

}  // namespace

CVELKOEyeDXProp::CVELKOEyeDXProp(QWidget* pParent)
    : QDialog(pParent), m_pGrid(new CPropertyGridCtrl(this)) {
    setWindowTitle(QStringLiteral("Properties"));
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pGrid);
    resize(360, 545);
    connect(m_pGrid, &CPropertyGridCtrl::PropertyChanged, this,
            &CVELKOEyeDXProp::OnPropertyChanged);
}

void CVELKOEyeDXProp::LoadLayers() {
    if (!m_pTerrain) {
        return;
    }
    m_layers.LoadLayers(*m_pTerrain);

    m_pGrid->RemoveAll();
    QTreeWidgetItem* pCell = m_pGrid->AddGroup(nullptr, kSelectedCell);
    for (const auto& [pszName, pszDescription] : kCellItems) {
        m_pGrid->AddNumber(pCell, QString::fromLatin1(pszName), 0.0,
                           QString::fromLatin1(pszDescription), false);
    }
    QStringList listChoices;
    for (const std::string& strChoice : CTerrainLayers::GetTextureChoices()) {
        listChoices << QString::fromStdString(strChoice);
    }
    QTreeWidgetItem* pLayers = m_pGrid->AddGroup(nullptr, QStringLiteral("Layers"));
    for (const std::string& strLayer : m_layers.GetLayerNames()) {
        QTreeWidgetItem* pLayer = m_pGrid->AddGroup(pLayers, QString::fromStdString(strLayer));
        m_pGrid->AddChoice(pLayer, QStringLiteral("texture"), listChoices.first(),
                           QStringLiteral("Texture."), listChoices);
        m_pGrid->AddText(pLayer, QStringLiteral("cell value"), QString(),
                         QStringLiteral("Cell value"), false);
    }
}

void CVELKOEyeDXProp::SetLayerTexture(const std::string& strLayer, const std::string& strChoice) {
    if (m_pTerrain) {
        m_layers.SetLayerTexture(strLayer, strChoice, *m_pTerrain);
    }
}

void CVELKOEyeDXProp::OnPropertyChanged(QTreeWidgetItem* pItem) {
    if (pItem->parent()) {
        SetLayerTexture(CPropertyGridCtrl::Name(pItem->parent()).toStdString(),
                        CPropertyGridCtrl::Value(pItem).toStdString());
    }
}

void CVELKOEyeDXProp::FillSelectedCellProperties() {
    QTreeWidgetItem* pCell = m_pGrid->FindGroup(kSelectedCell);
    if (!pCell || !m_pTerrain) {
        return;
    }
    for (const auto& [strName, dValue] : m_pTerrain->GetSelectedCellProperties()) {
        if (QTreeWidgetItem* pItem =
                CPropertyGridCtrl::FindChild(pCell, QString::fromStdString(strName))) {
            CPropertyGridCtrl::SetValue(pItem, CPropertyGridCtrl::FormatNumber(dValue));
        }
    }
}
