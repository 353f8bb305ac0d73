{{ config(event_time='order_date', tags=['summary'], meta={'velk': {}}) }}

select r.order_date, r.revenue_7d, m.revenue as revenue_month, a.orders_14d
from {{ ref('orders_rolling_7d') }} r
left join {{ ref('revenue_monthly') }} m on date_trunc('month', r.order_date) = m.month_start
left join {{ ref('customer_activity_14d') }} a on a.activity_date = r.order_date
