#include "corvaxis/core/Data.h"

namespace corvaxis {

Data::Data() : m_components(this) {}

Data::Data(const Data& other) : m_matrix(other.m_matrix), m_name(other.m_name), m_components(this)
{
    m_components.copyFrom(other.m_components);
}

Data& Data::operator=(const Data& other)
{
    if (this != &other) {
        m_matrix = other.m_matrix;
        m_name = other.m_name;
        m_components.copyFrom(other.m_components);
        notifyChanged();
    }
    return *this;
}

Data::~Data() = default;

void Data::setMatrix(const Mat4& matrix)
{
    m_matrix = matrix;
    notifyChanged();
}

void Data::setName(std::string name)
{
    m_name = std::move(name);
    notifyChanged();
}

}  // namespace corvaxis
