// A status bar of fixed-width panels.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

// A status bar of fixed-width panels, left to right, as the main window lays them out.
class TStatusBar : public QWidget {
    Q_OBJECT
public:
    struct Panel {
        int width;
        bool lowered; // bevel
        QString text;
        int made = 0; // the width it was made with
    };

    explicit TStatusBar(QWidget* parent = nullptr);

    void addPanel(int width, bool lowered);
    // The panel that takes the width the others leave (never less than its own width).
    void setStretchPanel(int index) { m_stretchPanel = index; update(); }
    // Widens a panel to the longest of these texts, up to the limit (never narrower than it was made).
    void fitPanel(int index, const QStringList& texts, int limit = 1000);
    int panelCount() const { return static_cast<int>(m_panels.size()); }
    int panelWidth(int index) const;
    int panelLeft(int index) const;
    QString panelText(int index) const;
    void setPanelText(int index, const QString& text);

    // Text painted over a panel from 5 pixels inside it, in its own colour. It is kept, so it
    // survives every repaint of the bar.
    void paintPanelText(int index, const QString& text, const QColor& color);
    QString paintedText() const { return m_paintedText; }
    QColor paintedColor() const { return m_paintedColor; }

    // The rectangle of the owner-drawn panel as last painted (bar coordinates).
    QRect ownerDrawRect() const { return m_ownerDrawRect; }
    void setOwnerDrawPanel(int index) { m_ownerDrawPanel = index; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRect panelRect(int index) const;

    std::vector<Panel> m_panels;
    int m_stretchPanel = -1;
    int m_ownerDrawPanel = -1;
    QRect m_ownerDrawRect;
    int m_paintedPanel = -1;
    QString m_paintedText;
    QColor m_paintedColor;
};
