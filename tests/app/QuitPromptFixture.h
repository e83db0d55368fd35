// The real program with its window shown and a double for the conversion queue, for tests of the ways out of
// it (the closing handler, the quit prompt, Ctrl+Q). Outside a running event loop a quit ends nothing, so the
// engine's quit signal is what the tests watch.
#pragma once

#include "app/Application.h"
#include "qml/QmlModule.h"
#include "tests/support/qt/ServiceDoubles.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace kvr::test {

class QuitPromptFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<kvr::app::Application>(nullptr);
        ASSERT_TRUE(app->start({}, kvr::qml::mainComponentUrl()));
        window = app->window();
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        app->qmlEngine()->rootContext()->setContextProperty(QStringLiteral("Converter"), &converter);
        quits = std::make_unique<QSignalSpy>(app->qmlEngine(), &QQmlEngine::quit);
        prompt = window->findChild<QObject*>(QStringLiteral("quitPrompt"));
        ASSERT_NE(prompt, nullptr);
    }

    void TearDown() override
    {
        quits.reset();
        app.reset();
    }

    bool promptOpen() const { return prompt->property("opened").toBool(); }

    ConverterDouble converter;
    std::unique_ptr<kvr::app::Application> app;
    QQuickWindow* window = nullptr;
    QObject* prompt = nullptr;
    std::unique_ptr<QSignalSpy> quits;
};

} // namespace kvr::test
