#pragma once

#include <memory>
#include <string>

#include <QTextBrowser>
#include <QUrl>
#include <QWidget>

#include "ui/chm_file.h"

namespace sondrel {

// Shows the pages of a compiled help file. Pages are addressed as
// "chm:/page.html"; relative links, pictures and style sheets are read from
// the same file, links to anything else go to the desktop.
class ChmBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit ChmBrowser(std::unique_ptr<ChmFile> file, QWidget* parent = nullptr);

    QVariant loadResource(int type, const QUrl& name) override;

    static QUrl pageUrl(const std::string& objectPath);

protected:
    void doSetSource(const QUrl& name, QTextDocument::ResourceType type) override;

private:
    void followLink(const QUrl& link);
    QUrl resolved(const QUrl& name) const;

    std::unique_ptr<ChmFile> m_file;
    QUrl m_page;
};

// The help viewer: the browser with back, forward and contents buttons.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    HelpWindow(std::unique_ptr<ChmFile> file, const std::string& homePage, QWidget* parent = nullptr);

    ChmBrowser& browser() { return *m_browser; }

private:
    ChmBrowser* m_browser;
};

}  // namespace sondrel
