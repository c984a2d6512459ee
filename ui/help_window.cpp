#include "ui/help_window.h"

#include <QAction>
#include <QPointer>
#include <QToolBar>
#include <QVBoxLayout>

#include "ui/sondrel_resources.h"
#include "ui/hyperlink.h"
#include "ui/link_opener.h"

namespace sondrel {
namespace {

const QString kScheme = QStringLiteral("chm");

}  // namespace

ChmBrowser::ChmBrowser(std::unique_ptr<ChmFile> file, QWidget* parent)
    : QTextBrowser(parent), m_file(std::move(file))
{
    // Qt would hand relative links of a non-file page to the desktop; this browser decides itself.
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &ChmBrowser::followLink);
}

QUrl ChmBrowser::pageUrl(const std::string& objectPath)
{
    QUrl url;
    url.setScheme(kScheme);
    url.setPath(QString::fromUtf8(objectPath));
    return url;
}

QUrl ChmBrowser::resolved(const QUrl& name) const
{
    return name.isRelative() ? m_page.resolved(name) : name;
}

void ChmBrowser::doSetSource(const QUrl& name, QTextDocument::ResourceType type)
{
    m_page = resolved(name).adjusted(QUrl::RemoveFragment);
    QTextBrowser::doSetSource(name, type);
}

// Pages, pictures and style sheets alike are the file's bytes; the document decodes them by type.
QVariant ChmBrowser::loadResource(int /*type*/, const QUrl& name)
{
    const QUrl url = resolved(name);
    if (url.scheme() != kScheme) {
        return {};
    }
    const std::optional<QByteArray> bytes = m_file->read(url.path().toStdString());
    if (!bytes) {
        return {};
    }
    return *bytes;
}

void ChmBrowser::followLink(const QUrl& link)
{
    const QUrl target = resolved(link);
    if (target.scheme() == kScheme) {
        setSource(target, QTextDocument::HtmlResource);
        return;
    }
    // The page stays as it is; a failed hand-over is told when the desktop answers.
    openWithDesktop(target.toString(), [browser = QPointer<ChmBrowser>(this)](std::optional<int> failure) {
        if (failure && browser) {
            showOpenErrorBox(browser->window(), *failure);
        }
    });
}

HelpWindow::HelpWindow(std::unique_ptr<ChmFile> file, const std::string& homePage, QWidget* parent)
    : QWidget(parent, Qt::Window), m_browser(new ChmBrowser(std::move(file), this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(mainIcon());
    resize(720, 560);

    auto* toolBar = new QToolBar(this);
    QAction* back = toolBar->addAction(tr("Back"), m_browser, &QTextBrowser::backward);
    QAction* forward = toolBar->addAction(tr("Forward"), m_browser, &QTextBrowser::forward);
    toolBar->addAction(tr("Contents"), m_browser, &QTextBrowser::home);
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(m_browser, &QTextBrowser::backwardAvailable, back, &QAction::setEnabled);
    connect(m_browser, &QTextBrowser::forwardAvailable, forward, &QAction::setEnabled);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolBar);
    layout->addWidget(m_browser);

    connect(m_browser, &QTextBrowser::sourceChanged, this,
            [this] { setWindowTitle(m_browser->documentTitle()); });
    m_browser->setSource(ChmBrowser::pageUrl(homePage), QTextDocument::HtmlResource);
}

}  // namespace sondrel
