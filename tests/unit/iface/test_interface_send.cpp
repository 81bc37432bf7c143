// Pages the proxy makes itself, sent whole by the interface helper.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/general.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "iface/interface.h"
#include "iface/templates.h"
#include "support/section_test_support.h"

namespace {

class InterfaceSendTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        template_section = new TemplateSection();
        sectiontest::load(*template_section, "<templates></templates>");
        page.Add("<p>hello</p>", 12);
    }
    void TearDown() override {
        delete connection;
        ShippedSectionTest::TearDown();
    }
    CONNECTION_T* open(const char* request) {
        connection = new sectiontest::Connection(request);
        return connection->get();
    }

    sectiontest::Connection* connection = nullptr;
    Filebuf page;
};

TEST_F(InterfaceSendTest, PageGoesWholeWithItsLengthAndRecord) {
    CONNECTION_T* conn = open("GET http://kestrivan/x HTTP/1.1\r\n\r\n");
    connection->attach_client();
    interface_send_response(conn, &page);
    std::string reply = connection->sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Type: text/html\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Content-Length: 12\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 12), "<p>hello</p>");
    EXPECT_EQ(conn->log.status, 200);
    EXPECT_EQ(conn->log.size, 12);
    EXPECT_EQ(conn->log.mime, "text/html");
    EXPECT_EQ(page.size, 12u); // the page stays the caller's
}

TEST_F(InterfaceSendTest, HeadGetsTheHeaderWithThePageLength) {
    CONNECTION_T* conn = open("HEAD http://kestrivan/x HTTP/1.1\r\n\r\n");
    connection->attach_client();
    conn->flags |= CONN_HEAD;
    interface_send_response(conn, &page);
    std::string reply = connection->sent();
    EXPECT_NE(reply.find("Content-Length: 12\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 4), "\r\n\r\n");
}

TEST_F(InterfaceSendTest, NoClientSendsNothingButFillsTheRecord) {
    CONNECTION_T* conn = open("GET http://kestrivan/x HTTP/1.1\r\n\r\n");
    connection->attach_client();
    conn->flags |= CONN_NO_CLIENT;
    interface_send_response(conn, &page);
    EXPECT_EQ(connection->sent(), "");
    EXPECT_EQ(conn->log.status, 200);
    EXPECT_EQ(conn->log.size, 12);
    EXPECT_EQ(conn->log.mime, "text/html");
}

} // namespace
