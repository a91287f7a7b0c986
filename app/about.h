// The about box: product name, edition and version on a frameless white window.
#pragma once

#include <cstdint>

#include <QString>
#include <QWidget>

class QEvent;
class QLabel;

class AboutBox : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 322;
    static constexpr int ClientHeight = 282;

    // `edition`: the one the program was built as (EditionAdvanced or EditionCustomer).
    explicit AboutBox(int32_t edition, QWidget* owner = nullptr);

    // Shows the box, taking the current language when it comes up from hidden;
    // when it is already visible it is only brought forward.
    void showAbout();

    QLabel* productLabel = nullptr; // product name
    QLabel* editionLabel = nullptr; // edition
    QLabel* versionCaption = nullptr; // version caption
    QLabel* versionLabel = nullptr; // version number
    QLabel* stopAllNote = nullptr;  // what stop-all is and is not
    QLabel* dataFolderLabel = nullptr; // the data directory in use
    QLabel* licencesLabel = nullptr;   // the libraries the program carries and their licences
    void setDataFolder(const QString& path) { m_dataFolder = path; }

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int32_t m_edition;
    QString m_dataFolder;
    void prepareToShow();
    // Sets the texts of the current language (none for an index other than 0 and 1).
    void retranslate();
    void FormClick();
};
